// kaptora-resources <folder>: writes the executable's resource assets into
// <folder>: kaptora.ico (the program icon: the recording state's dot in
// several sizes, drawn by the same function as the tray's state icons) and
// save.wav (the save confirmation sound, the bytes the Linux shell plays).
// Both are committed under resources/ and a test checks they are still what
// this tool makes. Exit 0, or 2 for a wrong argument count or a file that
// cannot be written.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/pcm_wav.h"
#include "app/state_icon.h"

namespace {

// Sizes Windows asks for: small and large icons at 100 % to 200 %, and the
// notification icon (twice the large icon) at 100 %.
constexpr int kIconSizes[] = {16, 20, 24, 32, 40, 48, 64};

// One ICO image: a BITMAPINFOHEADER of twice the height (colour plus mask),
// the BGRA rows bottom-up, then an all-zero AND mask (rows padded to 32 bits)
// so that alpha alone shapes the icon.
std::vector<uint8_t> IcoImage(int size, const std::vector<uint8_t>& topDownBgra) {
  const auto s = static_cast<uint32_t>(size);
  const uint32_t maskRow = (s + 31) / 32 * 4;
  std::vector<uint8_t> out;
  kp::AppendLe32(out, 40);
  kp::AppendLe32(out, s);
  kp::AppendLe32(out, 2 * s);
  kp::AppendLe16(out, 1);   // planes
  kp::AppendLe16(out, 32);  // bits per pixel
  kp::AppendLe32(out, 0);   // BI_RGB
  kp::AppendLe32(out, s * s * 4 + maskRow * s);
  for (int i = 0; i < 4; ++i) kp::AppendLe32(out, 0);
  for (int y = size - 1; y >= 0; --y) {
    const auto row = topDownBgra.begin() + static_cast<ptrdiff_t>(y) * size * 4;
    out.insert(out.end(), row, row + size * 4);
  }
  out.insert(out.end(), static_cast<size_t>(maskRow) * s, 0);
  return out;
}

std::vector<uint8_t> ProgramIcon() {
  std::vector<std::vector<uint8_t>> images;
  for (int size : kIconSizes) {
    images.push_back(IcoImage(size, kp::StateIconPixels(size, kp::StateColour(kp::TrayState::kRecording))));
  }
  std::vector<uint8_t> out;
  kp::AppendLe16(out, 0);
  kp::AppendLe16(out, 1);  // icon
  kp::AppendLe16(out, static_cast<uint32_t>(images.size()));
  uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const int size = kIconSizes[i];
    out.push_back(static_cast<uint8_t>(size >= 256 ? 0 : size));
    out.push_back(static_cast<uint8_t>(size >= 256 ? 0 : size));
    out.push_back(0);  // no palette
    out.push_back(0);
    kp::AppendLe16(out, 1);
    kp::AppendLe16(out, 32);
    kp::AppendLe32(out, static_cast<uint32_t>(images[i].size()));
    kp::AppendLe32(out, offset);
    offset += static_cast<uint32_t>(images[i].size());
  }
  for (const auto& image : images) out.insert(out.end(), image.begin(), image.end());
  return out;
}

bool WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: kaptora-resources <folder>\n", stderr);
    return 2;
  }
  const std::string folder = argv[1];
  if (!WriteAll(folder + "/kaptora.ico", ProgramIcon()) || !WriteAll(folder + "/save.wav", kp::SaveSoundWav())) {
    std::fprintf(stderr, "kaptora-resources: cannot write into %s\n", folder.c_str());
    return 2;
  }
  return 0;
}
