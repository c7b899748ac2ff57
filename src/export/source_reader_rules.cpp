#include "export/source_reader_rules.h"

namespace kp {

uint32_t DiscoverStreams(const std::function<StreamAnswer(uint32_t)>& probe) {
  uint32_t index = 0;
  while (index < kMaxSourceStreams) {
    const StreamAnswer answer = probe(index);
    ++index;
    if (answer == StreamAnswer::NoStream) break;
  }
  return index;
}

ReadStatus ClassifyReaderPass(const ReaderPass& pass) {
  if (pass.callFailed || pass.errorFlag) return ReadStatus::Failed;
  if (pass.endOfStream) return ReadStatus::EndOfStream;
  return pass.hasSample ? ReadStatus::Sample : ReadStatus::NoSample;
}

}  // namespace kp
