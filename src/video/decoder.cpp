#include "video/decoder.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

#include "platform/bytes.h"
#include "platform/log.h"

namespace tessomar::video {

// libavcodec as the decoders use it. A distribution's build of it pulls in about a hundred
// libraries, tens of milliseconds to load, so it is opened with the first decoder rather
// than with the process: commands that never decode do not wait for it.
struct AvApi {
  decltype(&::av_log_get_level) log_get_level;
  decltype(&::avcodec_get_class) get_class;
  decltype(&::av_log_format_line2) log_format_line2;
  decltype(&::av_log_set_callback) log_set_callback;
  decltype(&::avcodec_find_decoder) find_decoder;
  decltype(&::avcodec_alloc_context3) alloc_context3;
  decltype(&::avcodec_open2) open2;
  decltype(&::avcodec_free_context) free_context;
  decltype(&::avcodec_send_packet) send_packet;
  decltype(&::avcodec_receive_frame) receive_frame;
  decltype(&::av_packet_alloc) packet_alloc;
  decltype(&::av_packet_free) packet_free;
  decltype(&::av_packet_unref) packet_unref;
  decltype(&::av_frame_alloc) frame_alloc;
  decltype(&::av_frame_free) frame_free;
  decltype(&::av_frame_unref) frame_unref;
  decltype(&::av_frame_move_ref) frame_move_ref;
  decltype(&::av_buffer_alloc) buffer_alloc;
  decltype(&::av_buffer_ref) buffer_ref;
  decltype(&::av_buffer_unref) buffer_unref;
  decltype(&::av_buffer_is_writable) buffer_is_writable;
  std::string error;  // why it could not be loaded; empty when every entry is set
};

namespace {

AvApi load_av_api() {
  AvApi api{};
  // The major version the code was built against: its interface is the one compiled in.
  const std::string name = "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR);
  void* lib = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    const char* why = dlerror();
    api.error = why ? why : "cannot open " + name;
    return api;
  }
  // libavutil's entries are found through libavcodec, which depends on it.
  auto bind = [&](auto& entry, const char* symbol) {
    entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(dlsym(lib, symbol));
    if (entry == nullptr && api.error.empty()) api.error = name + " lacks " + symbol;
  };
  bind(api.log_get_level, "av_log_get_level");
  bind(api.get_class, "avcodec_get_class");
  bind(api.log_format_line2, "av_log_format_line2");
  bind(api.log_set_callback, "av_log_set_callback");
  bind(api.find_decoder, "avcodec_find_decoder");
  bind(api.alloc_context3, "avcodec_alloc_context3");
  bind(api.open2, "avcodec_open2");
  bind(api.free_context, "avcodec_free_context");
  bind(api.send_packet, "avcodec_send_packet");
  bind(api.receive_frame, "avcodec_receive_frame");
  bind(api.packet_alloc, "av_packet_alloc");
  bind(api.packet_free, "av_packet_free");
  bind(api.packet_unref, "av_packet_unref");
  bind(api.frame_alloc, "av_frame_alloc");
  bind(api.frame_free, "av_frame_free");
  bind(api.frame_unref, "av_frame_unref");
  bind(api.frame_move_ref, "av_frame_move_ref");
  bind(api.buffer_alloc, "av_buffer_alloc");
  bind(api.buffer_ref, "av_buffer_ref");
  bind(api.buffer_unref, "av_buffer_unref");
  bind(api.buffer_is_writable, "av_buffer_is_writable");
  return api;
}

// Loaded once for the process; the entries never change afterwards.
const AvApi& av_api() {
  static const AvApi api = load_av_api();
  return api;
}

// libavcodec reports every concealed slice on stderr by default; library code never prints,
// so a decoder's messages go to the logger its context carries (messages about anything else
// are dropped). Damaged pictures are routine on a lossy link, so they are debug noise, not
// errors.
void av_log_to_platform(void* avcl, int level, const char* fmt, va_list args) {
  const AvApi& av = av_api();
  if (level > av.log_get_level() || avcl == nullptr) return;
  if (*static_cast<const AVClass* const*>(avcl) != av.get_class()) return;
  const void* opaque = static_cast<const AVCodecContext*>(avcl)->opaque;
  const auto* logger = static_cast<const platform::Logger*>(opaque);
  if (logger == nullptr) return;
  char line[512];
  int print_prefix = 1;
  av.log_format_line2(avcl, level, fmt, args, line, sizeof line, &print_prefix);
  std::string_view text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  if (text.empty()) return;
  logger->log(level <= AV_LOG_FATAL ? platform::LogLevel::Error : platform::LogLevel::Debug, text);
}

static_assert(kDecoderInputPadding >= AV_INPUT_BUFFER_PADDING_SIZE);
constexpr size_t kInputBufferBytes =
    size_t(DecoderSlots::kDecoderBufferBytes) + kDecoderInputPadding;

void route_av_log_once() {
  static std::once_flag once;
  std::call_once(once, [] { av_api().log_set_callback(av_log_to_platform); });
}

}  // namespace

DecoderSlots::DecoderSlots(const platform::Clock& clock, const platform::Logger& logger)
    : clock_(clock), logger_(logger) {}

DecoderSlots::~DecoderSlots() {
  if (av_ == nullptr) return;  // nothing was made
  for (Slot& s : slots_) {
    av_->free_context(&s.decoder);
    av_->frame_free(&s.frame);
  }
  av_->packet_free(&packet_);
  av_->frame_free(&received_);
  av_->buffer_unref(&input_);
}

bool DecoderSlots::load_av() {
  if (av_ != nullptr) return true;
  const AvApi& api = av_api();
  if (!api.error.empty()) {
    logger_.error("decoder: " + api.error);
    return false;
  }
  route_av_log_once();
  av_ = &api;
  return true;
}

int DecoderSlots::openDecoder(int index) {
  if (!valid_index(index) || !load_av()) return -1;
  Slot& slot = slots_[size_t(index)];
  av_->free_context(&slot.decoder);
  av_->frame_free(&slot.frame);
  slot = Slot{};

  const AVCodec* codec = av_->find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) return -1;
  AVCodecContext* ctx = av_->alloc_context3(codec);
  if (ctx == nullptr) return -1;
  // One thread and low delay: every call must return its own picture before the next, and
  // the DVR's Baseline stream never reorders.
  ctx->thread_count = 1;
  ctx->thread_type = 0;
  ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
  ctx->opaque = const_cast<platform::Logger*>(&logger_);  // read back as const by the log
  if (av_->open2(ctx, codec, nullptr) < 0) {
    av_->free_context(&ctx);
    return -1;
  }
  if (packet_ == nullptr) packet_ = av_->packet_alloc();
  if (received_ == nullptr) received_ = av_->frame_alloc();
  AVFrame* frame = av_->frame_alloc();
  if (packet_ == nullptr || received_ == nullptr || frame == nullptr) {
    av_->frame_free(&frame);
    av_->free_context(&ctx);
    return -1;
  }
  slot.decoder = ctx;
  slot.frame = frame;
  return 0;
}

void DecoderSlots::allocateDecoderBuffer() {
  if (input_ != nullptr || !load_av()) return;
  input_ = av_->buffer_alloc(kInputBufferBytes);
}

void DecoderSlots::set_key_frame_queued(int index) {
  if (valid_index(index)) slots_[size_t(index)].keyFrameQueued = true;
}

bool DecoderSlots::keyFrameQueued(int index) const {
  return valid_index(index) && slots_[size_t(index)].keyFrameQueued;
}

DecodeStatus DecoderSlots::decodeStatus(int index) const {
  return valid_index(index) ? slots_[size_t(index)].status : DecodeStatus::Good;
}

void DecoderSlots::resetDecodeStatus(int index) {
  if (valid_index(index)) slots_[size_t(index)].status = DecodeStatus::Good;
}

bool DecoderSlots::isOpen(int index) const {
  return valid_index(index) && slots_[size_t(index)].decoder != nullptr;
}
bool DecoderSlots::outputValid(int index) const {
  return valid_index(index) && slots_[size_t(index)].outputValid;
}
int DecoderSlots::outputWidth(int index) const {
  return valid_index(index) ? slots_[size_t(index)].outputWidth : 0;
}
int DecoderSlots::outputHeight(int index) const {
  return valid_index(index) ? slots_[size_t(index)].outputHeight : 0;
}
uint32_t DecoderSlots::lastDecodeMs(int index) const {
  return valid_index(index) ? slots_[size_t(index)].decodeMs : 0;
}

int length_prefixed_to_annex_b(std::span<const uint8_t> in, std::span<uint8_t> out) {
  if (out.size() < in.size() || out.size() - in.size() < kDecoderInputPadding) return -1;
  platform::ByteReader reader(in);
  uint8_t* to = out.data();
  size_t n = 0;
  // A start code takes the place of each length, so the output never outgrows the input.
  while (reader.remaining() >= 4) {
    const uint32_t declared = reader.u32be();
    const uint32_t len = uint32_t(std::min<size_t>(declared, reader.remaining()));
    if (len == 0) continue;
    to[n++] = 0;
    to[n++] = 0;
    to[n++] = 0;
    to[n++] = 1;
    reader.bytes(to + n, len);
    n += len;
  }
  std::fill_n(to + n, kDecoderInputPadding, uint8_t{0});
  return int(n);
}

int DecoderSlots::to_annex_b(const uint8_t* data, uint32_t size) {
  // libavcodec may in principle still hold the previous packet's reference; then take a
  // fresh buffer rather than overwrite data it can see.
  if (!av_->buffer_is_writable(input_)) {
    av_->buffer_unref(&input_);
    input_ = av_->buffer_alloc(kInputBufferBytes);
    if (input_ == nullptr) return -1;
  }
  return length_prefixed_to_annex_b(std::span<const uint8_t>(data, size),
                                    std::span<uint8_t>(input_->data, kInputBufferBytes));
}

int DecoderSlots::decodePicture(int index, const uint8_t* data, uint32_t size) {
  if (!valid_index(index) || data == nullptr || size == 0 || size > kDecoderBufferBytes) return -1;
  Slot& slot = slots_[size_t(index)];
  if (slot.decoder == nullptr || input_ == nullptr) return -1;

  if (slot.keyFrameQueued) {
    slot.outputValid = false;
    slot.keyFrameQueued = false;
  }

  AVFrame* frame = slot.frame;
  av_->frame_unref(frame);
  const uint32_t start_ms = clock_.now_ms();
  const int length = to_annex_b(data, size);
  if (length < 0) return -1;
  slot.status = DecodeStatus::Good;
  if (length == 0) {
    slot.decodeMs = clock_.now_ms() - start_ms;
    return 0;
  }

  av_->packet_unref(packet_);
  packet_->buf = av_->buffer_ref(input_);
  if (packet_->buf == nullptr) return -1;
  packet_->data = input_->data;
  packet_->size = length;

  int shown = 0;
  if (av_->send_packet(slot.decoder, packet_) < 0) slot.status = DecodeStatus::Damaged;
  av_->packet_unref(packet_);

  for (;;) {
    const int ret = av_->receive_frame(slot.decoder, received_);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) {
      slot.status = DecodeStatus::Damaged;
      break;
    }
    // Low delay gives one picture per unit; should there be more, the last one is kept.
    av_->frame_unref(frame);
    av_->frame_move_ref(frame, received_);
    slot.decodeMs = clock_.now_ms() - start_ms;
    const bool eight_bit_420 =
        frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P;
    if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) || !eight_bit_420)
      slot.status = DecodeStatus::Damaged;

    const int w = frame->width;
    const int h = frame->height;
    if (w > 0 && h > 0) {
      if (w != slot.outputWidth || h != slot.outputHeight || !slot.outputValid) {
        slot.outputWidth = w;
        slot.outputHeight = h;
        slot.outputValid = true;
      }
      if (slot.status == DecodeStatus::Good && sink_) {
        DecodedPicture picture;
        picture.planeY = frame->data[0];
        picture.planeCb = frame->data[1];
        picture.planeCr = frame->data[2];
        picture.strideY = frame->linesize[0];
        picture.strideC = frame->linesize[1];
        picture.width = w;
        picture.height = h;
        sink_(index, picture);
        shown = 1;
      }
    }
  }
  if (shown == 0) slot.decodeMs = clock_.now_ms() - start_ms;
  return shown;
}

}  // namespace tessomar::video
