// kaptora-json <file>: parses a JSON file with the program's own reader and
// prints it in the writer's layout. Exit 0 with the document on standard
// output; exit 1 with the parser's error text on standard error; exit 2 for
// a wrong argument count, a file that cannot be read or output that cannot
// be written.
#include <cstdio>
#include <optional>
#include <string>

#include "config/json_parser.h"
#include "config/json_writer.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "platform/text.h"
#endif

namespace {

#ifdef _WIN32
using PathChar = wchar_t;
std::FILE* OpenForRead(const PathChar* path) { return _wfopen(path, L"rb"); }
std::string PathForMessage(const PathChar* path) { return kp::WideToUtf8(path); }
#else
using PathChar = char;
std::FILE* OpenForRead(const PathChar* path) { return std::fopen(path, "rb"); }
std::string PathForMessage(const PathChar* path) { return path; }
#endif

bool ReadFile(const PathChar* path, std::string* bytes) {
  std::FILE* file = OpenForRead(path);
  if (file == nullptr) return false;
  char buffer[4096];
  size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes->append(buffer, count);
  bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

int Run(int argc, PathChar** argv) {
  if (argc != 2) {
    std::fputs("usage: kaptora-json <file.json>\n", stderr);
    return 2;
  }
  std::string bytes;
  if (!ReadFile(argv[1], &bytes)) {
    std::fprintf(stderr, "kaptora-json: cannot read %s\n", PathForMessage(argv[1]).c_str());
    return 2;
  }
  std::string error;
  std::optional<kp::JsonValue> document = kp::ParseJson(bytes, &error);
  if (!document) {
    error.push_back('\n');
    std::fwrite(error.data(), 1, error.size(), stderr);
    return 1;
  }
  std::string text = kp::SerializeJson(*document);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 2;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  // Bytes go out exactly as produced: no "\n" to "\r\n" translation.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  return Run(argc, argv);
}
#else
int main(int argc, char** argv) { return Run(argc, argv); }
#endif
