// libFuzzer target for the JSON reader and writer. Any input must either be
// rejected or parse into a document whose written form is a fixed point:
// writing, reading back and writing again gives the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "config/json_parser.h"
#include "config/json_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string error;
  std::optional<kp::JsonValue> document = kp::ParseJson(input, &error);
  if (!document) {
    if (error.find(" at offset ") == std::string::npos) {
      std::fprintf(stderr, "rejected input without an error text\n");
      std::abort();
    }
    return 0;
  }
  std::string first = kp::SerializeJson(*document);
  std::optional<kp::JsonValue> reread = kp::ParseJson(first, &error);
  if (!reread) {
    std::fprintf(stderr, "written document does not parse: %s\n", error.c_str());
    std::abort();
  }
  std::string second = kp::SerializeJson(*reread);
  if (second != first) {
    std::fprintf(stderr, "written document is not a fixed point\n");
    std::abort();
  }
  return 0;
}
