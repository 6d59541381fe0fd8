// Feeds arbitrary bytes to the frame record and picture header readers and their checks.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/bytes.h"
#include "video/frame_record.h"

using namespace tessomar::video;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);

  FrameRecordHeader rec;
  rec.totalLength = 0xDEADBEEF;
  const bool have_record = FrameRecordHeader::parse(in, rec);
  if (have_record != (size >= kFrameRecordHeaderSize)) __builtin_trap();
  if (!have_record && rec.totalLength != 0xDEADBEEF) __builtin_trap();
  if (have_record && rec.totalLength != tessomar::platform::load_u32le(data)) __builtin_trap();

  // The picture header both at the start and where a record puts it.
  for (size_t at : {size_t(0), size_t(kFrameRecordHeaderSize)}) {
    if (at > size) break;
    PictureHeader pic;
    if (PictureHeader::parse(in.subspan(at), pic) != (size - at >= kPictureHeaderSize)) {
      __builtin_trap();
    }
    const bool valid = pic.valid();
    if (valid && pic.magic != kPictureMagic) __builtin_trap();
    if (pic.rateCode() == 0 || pic.rateCode() > 0x1FFFF) __builtin_trap();
    volatile uint32_t sink = pic.rateIntervalMs() + pic.contentType() + pic.cameraChannel() +
                             pic.streamKind() + uint32_t(pic.interlaced()) +
                             uint32_t(pic.keyFrame());
    (void)sink;
  }
  return 0;
}
