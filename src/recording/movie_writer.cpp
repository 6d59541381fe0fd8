#include "recording/movie_writer.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/bytes.h"
#include "platform/devtime.h"
#include "recording/movie_state.h"
#include "video/frame_record.h"

namespace tessomar::recording {
namespace {

struct FillerRow {
  uint8_t width_mbs;
  uint8_t height_mbs;
  std::array<uint8_t, 11> head;
};

// Every macroblock skipped; the first row also serves sizes not listed.
constexpr std::array<FillerRow, 12> kFillerRows = {{
    {40, 30, {0x00, 0x00, 0x00, 0x1C, 0x41, 0x9A, 0x21, 0x83, 0x00, 0x09, 0x63}},
    {40, 15, {0x00, 0x00, 0x00, 0x1C, 0x41, 0x9A, 0x21, 0x85, 0x00, 0x4B, 0x30}},
    {40, 32, {0x00, 0x00, 0x00, 0x1C, 0x41, 0x9A, 0x21, 0x85, 0x00, 0x28, 0x0C}},
    {40, 16, {0x00, 0x00, 0x00, 0x1C, 0x41, 0x9A, 0x21, 0x85, 0x00, 0x50, 0x30}},
    {20, 15, {0x00, 0x00, 0x00, 0x1C, 0x41, 0x9A, 0x21, 0x85, 0x00, 0x96, 0xC0}},
    {20, 16, {0x00, 0x00, 0x00, 0x1C, 0x41, 0x9A, 0x21, 0x85, 0x00, 0xA0, 0xC0}},
    {44, 30, {0x00, 0x00, 0x00, 0x1C, 0x41, 0x9A, 0x21, 0x85, 0x00, 0x29, 0x4C}},
    {44, 15, {0x00, 0x00, 0x00, 0x1C, 0x41, 0x9A, 0x21, 0x85, 0x00, 0x52, 0xB0}},
    {44, 36, {0x00, 0x00, 0x00, 0x1C, 0x41, 0x9A, 0x21, 0x85, 0x00, 0x31, 0x8C}},
    {44, 18, {0x00, 0x00, 0x00, 0x1C, 0x41, 0x9A, 0x21, 0x85, 0x00, 0x63, 0x30}},
    {22, 15, {0x00, 0x00, 0x00, 0x1C, 0x41, 0x9A, 0x21, 0x85, 0x00, 0xA5, 0xC0}},
    {22, 18, {0x00, 0x00, 0x00, 0x1C, 0x41, 0x9A, 0x21, 0x85, 0x00, 0xC6, 0xC0}},
}};

constexpr std::array<uint8_t, kFileStartSize> kFileStart = {
    0x00, 0x00, 0x00, 0x20, 'f', 't', 'y', 'p', 'q', 't', ' ', ' ', 0x20, 0x05, 0x03, 0x00,
    'q',  't',  ' ',  ' ',  0,   0,   0,   0,   0,   0,   0,   0,   0,    0,    0,    0,
    0x00, 0x00, 0x00, 0x08, 'w', 'i', 'd', 'e', 0,   0,   0,   0,   'm',  'd',  'a',  't'};

constexpr std::array<uint8_t, kBlockSize> kBlock = {0x00, 0x00, 0x00, 0x02};
// The block's words read little-endian, as the checksum takes them.
constexpr uint32_t kBlockChecksum = 0x02000000;

// Room kept below 4 GiB for the trailer and the movie atom: offsets in the tables are 32-bit.
constexpr uint64_t kPositionLimit = 0xFFFFFFFFull - (8u << 20);

bool pal_height(uint32_t h_mbs) { return h_mbs == 32 || h_mbs == 16 || h_mbs == 36 || h_mbs == 18; }

uint32_t checksum_words(std::span<const uint8_t> bytes) {
  uint32_t sum = 0;
  const size_t words = bytes.size() / 4;
  for (size_t i = 0; i < words; ++i) sum += platform::load_u32le(bytes.data() + 4 * i);
  return sum;
}

}  // namespace

struct MovieWriter::Item {
  video::PictureHeader header;
  uint32_t length = 0;  // d: header and payload
  uint32_t t = 0;
  uint32_t f = 0;
  uint32_t k = 0;  // content type
  uint32_t y = 0;  // frame type
};

std::array<uint8_t, 48> DiagnosticRecord::bytes() const {
  std::array<uint8_t, 48> out{};
  platform::ByteWriter w(out);
  w.text("pqrs");
  w.u32le(code);
  w.u32le(value);
  w.u32le(limit);
  w.zeros(28);
  w.text("tuvw");
  return out;
}

std::array<uint32_t, 4> field_factors(uint8_t byte14) {
  switch ((byte14 >> 2) & 3) {
    case 2:
      return {1, 1, 2, 1};
    case 3:
      return {2, 1, 2, 1};
    default:
      return {1, 1, 1, 1};
  }
}

std::array<uint8_t, kFillerSize> filler_picture(int width_mbs, int height_mbs) {
  const FillerRow* row = &kFillerRows[0];
  for (const FillerRow& r : kFillerRows) {
    if (r.width_mbs == width_mbs && r.height_mbs == height_mbs) row = &r;
  }
  std::array<uint8_t, kFillerSize> out{};
  std::copy(row->head.begin(), row->head.end(), out.begin());
  return out;
}

std::array<uint8_t, 2> frame_number_bytes(uint32_t i) {
  const uint32_t v = 0x9A01 + 32 * (i & 15);
  return {uint8_t(v >> 8), uint8_t(v)};
}

std::array<uint8_t, kTextSampleSize> text_sample(uint32_t t) {
  std::array<char, platform::kTimeTextLength + 1> text{};
  platform::timeText(t, text.data(), text.size());
  constexpr size_t kTextLength = 22;
  std::array<char, kTextLength> line;
  line.fill(' ');
  std::copy_n(text.begin(), platform::kTimeTextLength, line.begin());
  const std::string_view chars(line.data(), line.size());

  std::array<uint8_t, kTextSampleSize> out{};
  platform::ByteWriter w(out);
  w.u16be(uint16_t(kTextLength));
  w.text(chars);
  w.u32be(0x22);
  w.text("orig");
  w.u32be(0x00000423);
  w.text(chars);
  return out;
}

bool write_at(const std::string& path, uint64_t offset,
              std::span<const std::span<const uint8_t>> pieces) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  for (std::span<const uint8_t> piece : pieces) {
    size_t done = 0;
    while (ok && done < piece.size()) {
      const ssize_t n =
          ::pwrite(fd, piece.data() + done, piece.size() - done, off_t(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        ok = false;
      else
        done += size_t(n);
    }
    if (!ok) break;
    offset += piece.size();
  }
  if (::close(fd) != 0) ok = false;
  return ok;
}

bool write_at(const std::string& path, uint64_t offset, std::span<const uint8_t> bytes) {
  const std::span<const uint8_t> pieces[] = {bytes};
  return write_at(path, offset, pieces);
}

uint32_t item_count(std::span<const uint8_t> items) {
  if (items.size() < video::kPictureHeaderSize) return 0;
  const uint32_t named = uint32_t(items[15] & 0x0F) + 1;
  uint32_t count = 0;
  size_t pos = 0;
  while (count < named && items.size() - pos >= video::kPictureHeaderSize) {
    ++count;
    const size_t d = size_t(platform::load_u16le(items.data() + pos + 18)) * 64;
    // An item without length or reaching past the end ends the walk (appendItems refuses it).
    if (d == 0 || d > items.size() - pos) break;
    pos += d;
  }
  return count;
}

MovieWriter::MovieWriter(channels::IctlChannel& ictl)
    : ictl_(ictl),
      state_(std::make_unique<State>()),
      scratch_(std::make_unique<std::array<uint8_t, 1u << 20>>()) {
  setWatermarkParameters();
}

MovieWriter::~MovieWriter() = default;

uint32_t MovieWriter::sampleCount() const { return state_->sampleCount; }
void MovieWriter::clear_samples() { state_->sampleCount = 0; }
uint32_t MovieWriter::position() const { return state_->position; }
uint32_t MovieWriter::window_start() const { return state_->windowStart; }
uint32_t MovieWriter::window_end() const { return state_->windowEnd; }
uint32_t MovieWriter::fps() const { return state_->fps(); }
const DiagnosticRecord& MovieWriter::diagnostics() const { return state_->diagnostics; }
const WatermarkParameters& MovieWriter::watermark_parameters() const { return state_->watermark; }

std::span<uint8_t, channels::kWatermarkVarsSize> MovieWriter::watermark() {
  return std::span<uint8_t, channels::kWatermarkVarsSize>(ictl_.buffers().watermark_vars);
}

void MovieWriter::write(uint64_t offset, std::span<const std::span<const uint8_t>> pieces) {
  if (!write_at(path_, offset, pieces)) write_failed_ = true;
}

void MovieWriter::write(uint64_t offset, std::span<const uint8_t> bytes) {
  if (!write_at(path_, offset, bytes)) write_failed_ = true;
}

void MovieWriter::beginMovie(uint32_t window_start, uint32_t window_end) {
  State& s = *state_;
  s.started = false;
  s.position = 0;
  s.mediaDataStart = 0;
  s.sampleCount = 0;
  s.keyFrameCount = 0;
  s.audioSamples = 0;
  s.chunkCount = 0;
  s.chunkSize = 0;
  s.chunkRunCount = 0;
  s.textCount = 0;
  s.fieldFactors = {};
  s.dateOrder = 0;
  s.avcParameterSetsLength = 0;
  s.windowStart = window_start;
  s.windowEnd = window_end;
  write_failed_ = false;
}

void MovieWriter::shiftWindow(int32_t offset) {
  state_->windowStart -= uint32_t(offset);
  state_->windowEnd -= uint32_t(offset);
}

int MovieWriter::checkItem(std::span<const uint8_t> items) {
  State& s = *state_;
  const uint32_t m = item_count(items);
  if (m == 0) return kItemFits;  // nothing to measure; appendItems refuses it
  video::PictureHeader h;
  video::PictureHeader::parse(items, h);

  auto refuse = [&](uint32_t code, uint64_t value, uint64_t limit) {
    s.diagnostics.code = code;
    s.diagnostics.value = uint32_t(value);
    s.diagnostics.limit = uint32_t(limit);
    return kItemRefused;
  };
  if (s.keyFrameCount + m >= kMaxKeyFrames) {
    return refuse(kDiagKeyFramesFull, s.keyFrameCount + m, kMaxKeyFrames);
  }
  if (s.sampleCount + m >= kMaxVideoSamples) {
    return refuse(kDiagSamplesFull, s.sampleCount + m, kMaxVideoSamples);
  }
  if (s.textCount + m >= kMaxTextSamples) {
    return refuse(kDiagTextFull, s.textCount + m, kMaxTextSamples);
  }
  const uint64_t last_time = uint64_t(s.windowEnd) + kWindowEndSlack;
  if (h.time > last_time) return refuse(kDiagPastWindowEnd, h.time, last_time);

  // Only a started file has factors to compare with; audio items take the file's own.
  if (s.started && h.contentType() == video::kContentVideo) {
    const std::array<uint32_t, 4> item = field_factors(h.byte14);
    for (uint32_t i = 0; i < 4; ++i) {
      if (item[i] != s.fieldFactors[i]) {
        s.diagnostics.code = kDiagFieldFactorA + i;
        s.diagnostics.value = item[i];
        s.diagnostics.limit = s.fieldFactors[i];
      }
    }
  }
  return s.sampleCount / s.fps() >= kMaxFileSeconds ? kItemSplit : kItemFits;
}

int MovieWriter::appendItems(std::span<uint8_t> items) {
  const uint32_t count = item_count(items);
  if (count == 0) {
    state_->waitForKey = true;
    return -1;
  }
  bool wrote_first_sample = false;
  bool window_complete = false;
  size_t pos = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const std::span<uint8_t> rest = items.subspan(pos);
    video::PictureHeader h;
    video::PictureHeader::parse(rest, h);
    const size_t d = size_t(h.lengthUnits) * 64;
    // A length reaching past the buffer is refused like any invalid header.
    if (!h.valid() || d > rest.size()) {
      state_->waitForKey = true;
      return -1;
    }
    if (append_item(rest.first(d), wrote_first_sample) < 0) return -1;
    window_complete = h.contentType() == video::kContentVideo && h.time >= state_->windowEnd;
    pos += d;
  }
  return window_complete ? 0 : 1;
}

int MovieWriter::append_item(std::span<uint8_t> bytes, bool& wrote_first_sample) {
  State& s = *state_;
  Item it;
  video::PictureHeader::parse(bytes, it.header);
  it.length = uint32_t(bytes.size());
  it.t = it.header.time;
  it.f = it.header.frameNumber;
  it.k = it.header.contentType();
  it.y = uint32_t((it.header.byte15 >> 4) & 3);

  if (it.t < s.windowStart) return 0;
  if (s.waitForKey) {
    if (it.y != 0) return 0;
    s.waitForKey = false;
  }
  if (!s.started) {
    if (it.k != video::kContentVideo || it.y != 0) return 0;
    if (!start_file(it)) return 0;
  }
  if (it.t == s.firstTime && it.f < s.firstFrame) return 0;

  if (it.k == video::kContentAudio) {
    append_audio(it, bytes);
    return 0;
  }
  if (it.k != video::kContentVideo) return 0;

  if (s.started && s.lastTextSecond > it.t) {
    s.waitForKey = true;
    return 0;
  }
  if (it.t != s.lastTextSecond && !write_text_samples(it)) {
    s.waitForKey = true;
    return -1;
  }
  // Tables and offsets must hold this picture: a key-frame slot, the sample, 32-bit offsets.
  if ((it.y == 0 && s.keyFrameCount >= kMaxKeyFrames) ||
      uint64_t(s.position) + s.parameterSetsLength + it.length + kBlockSize > kPositionLimit) {
    s.waitForKey = true;
    return -1;
  }
  const bool first = !s.started;
  if (first) {
    s.started = true;
    s.expectedFrames = 0;
    s.writtenFrames = 0;
  }
  const std::span<uint8_t> payload = bytes.subspan(video::kPictureHeaderSize);
  if (!fill_gap(it, payload)) {
    s.waitForKey = true;
    return -1;
  }
  append_video(it, bytes, wrote_first_sample);
  if (first) wrote_first_sample = true;
  return 0;
}

bool MovieWriter::start_file(const Item& it) {
  State& s = *state_;
  const int w_mbs = it.header.widthMbs;
  const int h_mbs = it.header.heightMbs;
  uint8_t sets[video::kMaxParameterSetBytes];
  const int decoder_length = video::buildParameterSets(w_mbs, h_mbs, video::kDecoderForm, sets);
  const int avc_length =
      video::buildParameterSets(w_mbs, h_mbs, video::kAvcCForm, s.avcParameterSets.data());
  if (decoder_length < 0 || avc_length < 0) return false;
  std::copy_n(sets, decoder_length, s.parameterSets.begin());
  s.parameterSetsLength = uint32_t(decoder_length);
  s.avcParameterSetsLength = uint32_t(avc_length);

  write(0, kFileStart);
  s.position = kFileStartSize;
  s.mediaDataStart = kMediaDataStart;

  const std::span<uint8_t, channels::kWatermarkVarsSize> wm = watermark();
  const uint32_t seed = platform::load_u32le(wm.data() + kWatermarkSeed);
  platform::store_u32le(wm.data() + kWatermarkChecksum, seed);
  platform::store_u32le(wm.data() + kWatermarkSeedCopy, seed);
  wm[kWatermarkPictureBytes] = it.header.byte16;
  wm[kWatermarkPictureBytes + 1] = uint8_t(it.header.cameraChannel());
  wm[kWatermarkPictureBytes + 2] = it.header.heightMbs;
  wm[kWatermarkPictureBytes + 3] = it.header.widthMbs;

  s.fieldFactors = field_factors(it.header.byte14);
  s.pictureWidth = uint32_t(w_mbs) * 16;
  s.pictureHeight = uint32_t(h_mbs) * 16;
  s.fillTime = s.firstTime = it.t;
  s.fillFrame = s.firstFrame = s.frameNumber = it.f;
  s.lastAudioTime = s.lastAudioFrame = 0;
  s.lastAudioByte = 0;
  s.lastTextSecond = 0;
  s.pal = pal_height(uint32_t(h_mbs));
  s.sampleBias = (w_mbs == 44 || w_mbs == 22) ? 128 : 0;
  return true;
}

bool MovieWriter::write_text_samples(const Item& it) {
  State& s = *state_;
  uint64_t due = 0;
  if (s.lastTextSecond == 0) {
    s.lastTextSecond = it.t - 1;
    due = 1;
  } else if (it.t > s.lastTextSecond) {
    due = it.t - s.lastTextSecond;
  }
  if (s.textCount + due > kMaxTextSamples) return false;
  if (s.position + due * kTextSampleSize > kPositionLimit) return false;
  std::array<uint8_t, 1u << 20>& scratch = *scratch_;
  for (uint32_t i = 0; i < due; ++i) {
    const uint32_t second = s.lastTextSecond + 1 + i;
    const std::array<uint8_t, kTextSampleSize> sample = text_sample(second + it.header.timeOffset);
    std::copy(sample.begin(), sample.end(), scratch.begin() + i * kTextSampleSize);
    s.textOffsets[s.textCount + i] = s.position + i * kTextSampleSize;
  }
  const uint32_t bytes = uint32_t(due) * kTextSampleSize;
  write(s.position, std::span<const uint8_t>(scratch.data(), bytes));
  s.textCount += uint32_t(due);
  s.position += bytes;
  s.lastTextSecond = it.t;
  return true;
}

bool MovieWriter::fill_gap(const Item& it, std::span<uint8_t> payload) {
  State& s = *state_;
  if (it.t < s.fillTime) return true;
  const int64_t gap =
      (int64_t(it.t) - s.fillTime) * s.fps() + (int64_t(it.f) - int64_t(s.fillFrame));
  s.expectedFrames += gap;
  int64_t missing = gap > 0 ? gap - 1 : 0;
  if (s.expectedFrames > s.writtenFrames) {
    missing = std::min(missing, s.expectedFrames - s.writtenFrames);
  } else {
    missing = 0;
  }
  // The picture itself needs a slot behind the fillers.
  if (s.sampleCount + missing + 1 > kMaxVideoSamples) return false;
  if (s.position + uint64_t(missing) * kFillerSize > kPositionLimit) return false;

  std::array<uint8_t, kFillerSize> filler =
      filler_picture(int(s.pictureWidth / 16), int(s.pictureHeight / 16));
  std::array<uint8_t, 1u << 20>& scratch = *scratch_;
  constexpr uint32_t kPerBatch = uint32_t(sizeof(scratch) / kFillerSize);
  uint32_t left = uint32_t(missing);
  while (left > 0) {
    const uint32_t batch = std::min(left, kPerBatch);
    for (uint32_t i = 0; i < batch; ++i) {
      const std::array<uint8_t, 2> fn = frame_number_bytes(s.frameNumber);
      filler[5] = fn[0];
      filler[6] = fn[1];
      std::copy(filler.begin(), filler.end(), scratch.begin() + i * kFillerSize);
      s.sampleSizes[s.sampleCount] = kFillerSize;
      s.sampleOffsets[s.sampleCount] = s.position + i * kFillerSize;
      s.sampleCount += 1;
      s.frameNumber = (s.frameNumber + 1) % 16;
    }
    write(s.position, std::span<const uint8_t>(scratch.data(), batch * kFillerSize));
    s.position += batch * kFillerSize;
    s.writtenFrames += batch;
    left -= batch;
  }
  if (it.y != 0) {
    const std::array<uint8_t, 2> fn = frame_number_bytes(s.frameNumber);
    payload[5] = fn[0];
    payload[6] = fn[1];
    s.frameNumber = (s.frameNumber + 1) % 16;
  }
  s.fillTime = it.t;
  s.fillFrame = it.f;
  s.writtenFrames += 1;
  return true;
}

void MovieWriter::append_video(const Item& it, std::span<uint8_t> bytes, bool& wrote_first_sample) {
  State& s = *state_;
  if (it.y == 0) {
    s.keyFrames[s.keyFrameCount] = s.sampleCount + 1;
    s.keyFrameCount += 1;
    s.frameNumber = 1;
  }
  const uint32_t sets = s.parameterSetsLength;
  const bool checksummed = sets == 0 && !wrote_first_sample;
  s.sampleSizes[s.sampleCount] = it.length + 32 + sets;
  s.sampleOffsets[s.sampleCount] = s.position;

  const std::span<uint8_t> payload = bytes.subspan(video::kPictureHeaderSize);
  platform::store_u32be(payload.data(), it.length + 28);
  if (checksummed) {
    const std::span<uint8_t, channels::kWatermarkVarsSize> wm = watermark();
    const uint32_t sum = platform::load_u32le(wm.data() + kWatermarkChecksum) +
                         checksum_words(payload) + kBlockChecksum;
    platform::store_u32le(wm.data() + kWatermarkChecksum, sum);
  }
  const std::span<const uint8_t> pieces[] = {std::span<const uint8_t>(s.parameterSets.data(), sets),
                                             payload, kBlock};
  write(s.position, pieces);
  s.position += sets + uint32_t(payload.size()) + kBlockSize;
  s.parameterSetsLength = 0;
  s.sampleCount += 1;
  s.lastVideoTime = it.t;
}

bool MovieWriter::add_chunk(uint32_t samples) {
  State& s = *state_;
  if (samples != s.chunkSize) {
    if (s.chunkRunCount >= kMaxChunkRuns) return false;
    s.chunkRuns[s.chunkRunCount] = {s.chunkCount + 1, samples, 1};
    s.chunkRunCount += 1;
    s.chunkSize = samples;
  }
  s.chunkOffsets[s.chunkCount] = s.position;
  return true;
}

bool MovieWriter::accept_audio(const Item& it) {
  State& s = *state_;
  if (s.chunkCount + 2 > kMaxAudioChunks || it.t < s.windowStart || it.t > s.windowEnd) {
    return false;
  }
  if (s.lastAudioTime == 0) {
    s.lastAudioTime = it.t;
    s.lastAudioFrame = it.f;
    return true;
  }
  if (it.t < s.lastAudioTime || (it.t == s.lastAudioTime && it.f < s.lastAudioFrame)) {
    return false;
  }
  s.lastAudioTime = it.t;
  s.lastAudioFrame = it.f;
  const int64_t fps = s.fps();
  int64_t dt = int64_t(it.t) - int64_t(s.firstTime);
  int64_t df = int64_t(it.f) - int64_t(s.firstFrame);
  if (df < 0) {
    dt -= 1;
    df += fps;
  }
  if (dt < 0) return false;
  const int64_t due = df * kAudioRate / fps + dt * kAudioRate;
  if (int64_t(s.audioSamples) >= due) return true;
  const int64_t fill = due - int64_t(s.audioSamples);
  if (fill < kMinAudioFill) return true;
  // Far past what 32-bit offsets and counts can hold: keep the block, leave the gap.
  if (s.position + uint64_t(fill) > kPositionLimit ||
      uint64_t(s.audioSamples) + uint64_t(fill) > 0xFFFFFFFFull) {
    return true;
  }
  if (!add_chunk(uint32_t(fill))) return true;

  std::array<uint8_t, 1u << 20>& scratch = *scratch_;
  std::fill_n(scratch.begin(), std::min<uint64_t>(uint64_t(fill), scratch.size()), s.lastAudioByte);
  uint64_t left = uint64_t(fill);
  while (left > 0) {
    const size_t piece = size_t(std::min<uint64_t>(left, scratch.size()));
    write(s.position, std::span<const uint8_t>(scratch.data(), piece));
    s.position += uint32_t(piece);
    left -= piece;
  }
  s.audioSamples += uint32_t(fill);
  s.chunkCount += 1;
  return true;
}

void MovieWriter::append_audio(const Item& it, std::span<const uint8_t> bytes) {
  State& s = *state_;
  if (it.t > s.windowEnd || (s.chunkRunCount + 2) * 12 >= kMaxChunkRunBytes) return;
  const uint32_t n = (it.length - 64) / 2;
  // An empty chunk would have no samples for its run to describe.
  if (n == 0) return;
  if (!accept_audio(it)) return;
  if (s.position + uint64_t(n) > kPositionLimit) return;
  if (!add_chunk(n)) return;

  std::array<uint8_t, 1u << 20>& scratch = *scratch_;
  const uint8_t* samples = bytes.data() + video::kPictureHeaderSize;
  uint32_t done = 0;
  while (done < n) {
    const uint32_t piece = std::min<uint32_t>(n - done, uint32_t(scratch.size()));
    for (uint32_t j = 0; j < piece; ++j) {
      scratch[j] = uint8_t(samples[2 * (done + j) + 1] + s.sampleBias);
    }
    write(s.position, std::span<const uint8_t>(scratch.data(), piece));
    s.position += piece;
    s.lastAudioByte = scratch[piece - 1];
    done += piece;
  }
  s.audioSamples += n;
  s.chunkCount += 1;
}

uint32_t MovieWriter::finishMediaData() {
  State& s = *state_;
  std::array<uint8_t, 1u << 20>& scratch = *scratch_;
  std::fill_n(scratch.begin(), kTrailerSize, uint8_t(0));
  const std::array<uint8_t, 48> record = s.diagnostics.bytes();
  std::copy(record.begin(), record.end(), scratch.begin());
  write(s.position, std::span<const uint8_t>(scratch.data(), kTrailerSize));
  s.position += kTrailerSize;
  return s.position - s.mediaDataStart;
}

void MovieWriter::write_mdat_size(uint32_t size) {
  std::array<uint8_t, 4> bytes;
  platform::store_u32be(bytes.data(), size);
  write(state_->mediaDataStart, bytes);
}

void MovieWriter::requestWatermark(uint32_t session_key, uint32_t channel) {
  std::array<uint8_t, 4>& request = ictl_.buffers().watermark_request;
  platform::store_u32le(request.data(), channel);
  if (session_key != 0) ictl_.SlotWrite(session_key, "Vask_Watermark_Var_R", request, 1);
}

}  // namespace tessomar::recording
