#include "export/export_job.h"

#include <cmath>

#include "config/json_parser.h"
#include "config/json_value.h"
#include "platform/files.h"
#include "platform/text.h"

namespace kp {

namespace {

// A whole number of pixels: truncated toward zero, saturated to 32 bits (NaN
// cannot come out of the JSON reader, infinities can).
int32_t Pixels(const JsonValue& value) {
  if (value.type != JsonType::Number) return 0;
  const double v = std::trunc(value.number);
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

int64_t Ticks(const JsonValue& value) {
  if (value.type != JsonType::Number) return -1;
  return JobSecondsToTicks(value.number);
}

std::wstring Text(const JsonValue& value) {
  if (value.type != JsonType::String) return {};
  return Utf8ToWide(value.text);
}

void SetError(std::string* error, const char* text) {
  if (error) *error = text;
}

}  // namespace

int64_t JobSecondsToTicks(double seconds) {
  if (!(seconds >= 0.0)) return -1;
  const double ticks = seconds * 10'000'000.0;
  // llround is undefined beyond the 64-bit range; such a time is unusable.
  if (!(ticks < 9.2e18)) return -1;
  return std::llround(ticks);
}

bool ParseExportJob(const std::wstring& path, ExportJob& job, std::string* error) {
  job = ExportJob{};
  std::string bytes;
  if (!ReadWholeFile(SystemFiles(), path, &bytes)) {
    SetError(error, "cannot open job file");
    return false;
  }
  return ParseExportJobText(bytes, job, error);
}

bool ParseExportJobText(std::string_view bytes, ExportJob& job, std::string* error) {
  job = ExportJob{};
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  std::optional<JsonValue> root = ParseJson(bytes, error);
  if (!root) return false;
  if (root->type != JsonType::Object) {
    if (error && error->empty()) *error = "job root is not an object";
    return false;
  }

  job.input = Text(FindMember(*root, "input"));
  job.output = Text(FindMember(*root, "output"));
  if (job.input.empty() || job.output.empty()) {
    SetError(error, "input and output are required");
    return false;
  }

  const JsonValue& crop = FindMember(*root, "crop");
  if (crop.type == JsonType::Object) {
    job.crop.enabled = true;
    job.crop.x = Pixels(FindMember(crop, "x"));
    job.crop.y = Pixels(FindMember(crop, "y"));
    job.crop.width = Pixels(FindMember(crop, "width"));
    job.crop.height = Pixels(FindMember(crop, "height"));
  }

  // Elements that are not objects yield Null on every lookup and fall out
  // through the time checks.
  const JsonValue& keep = FindMember(*root, "keep");
  if (keep.type == JsonType::Array) {
    for (const JsonValue& element : keep.elements) {
      KeepRange range{Ticks(FindMember(element, "start")), Ticks(FindMember(element, "end"))};
      if (range.start >= 0 && range.end > range.start) job.keep.push_back(range);
    }
  }

  const JsonValue& overlays = FindMember(*root, "overlays");
  if (overlays.type == JsonType::Array) {
    for (const JsonValue& element : overlays.elements) {
      OverlaySpec overlay;
      overlay.image = Text(FindMember(element, "image"));
      overlay.x = Pixels(FindMember(element, "x"));
      overlay.y = Pixels(FindMember(element, "y"));
      overlay.start = Ticks(FindMember(element, "start"));
      overlay.end = Ticks(FindMember(element, "end"));
      if (!overlay.image.empty() && overlay.start >= 0 && overlay.end > overlay.start) {
        job.overlays.push_back(std::move(overlay));
      }
    }
  }
  return true;
}

}  // namespace kp
