#include "qt_sound.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QCoreApplication>
#include <QIODevice>
#include <QMediaDevices>
#include <QMetaObject>
#include <QPointer>
#include <algorithm>
#include <mutex>
#include <vector>

namespace tessomar::viewer {

namespace {

using platform::kSoundBufferBytes;

// The looping buffer and its play cursor: the audio thread writes and reads the cursor, the
// sink's reader (user-interface thread) plays from the cursor.
struct LoopBuffer {
  std::mutex mutex;
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kSoundBufferBytes, 128);
  uint32_t cursor = 0;
};

// What the sink pulls: the buffer round and round from the cursor, for as long as it plays.
class LoopReader final : public QIODevice {
 public:
  explicit LoopReader(std::shared_ptr<LoopBuffer> buffer) : buffer_(std::move(buffer)) {
    open(QIODevice::ReadOnly);
  }
  bool isSequential() const override { return true; }
  qint64 bytesAvailable() const override {
    return qint64(kSoundBufferBytes) + QIODevice::bytesAvailable();
  }

 protected:
  qint64 readData(char* data, qint64 max) override {
    std::lock_guard lock(buffer_->mutex);
    for (qint64 i = 0; i < max; ++i) {
      data[i] = char(buffer_->bytes[buffer_->cursor]);
      buffer_->cursor = (buffer_->cursor + 1) % kSoundBufferBytes;
    }
    return max;
  }
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  std::shared_ptr<LoopBuffer> buffer_;
};

QAudioFormat output_format() {
  QAudioFormat f;
  f.setSampleRate(int(platform::kSoundSampleRate));
  f.setChannelCount(1);
  f.setSampleFormat(QAudioFormat::UInt8);
  return f;
}

// Runs `f` on the user-interface thread, later; nothing when the application has gone.
template <typename F>
void on_ui_thread(F&& f) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app != nullptr) QMetaObject::invokeMethod(app, std::forward<F>(f), Qt::QueuedConnection);
}

class QtSoundDevice final : public platform::SoundDevice {
 public:
  explicit QtSoundDevice(QAudioDevice output) : output_(std::move(output)) {}
  ~QtSoundDevice() override { stop(); }

  bool start() override {
    {
      std::lock_guard lock(buffer_->mutex);
      buffer_->cursor = 0;
    }
    if (sink_) return true;
    sink_ = std::make_shared<QPointer<QAudioSink>>();
    on_ui_thread([sink = sink_, buffer = buffer_, output = output_] {
      auto* s = new QAudioSink(output, output_format());
      auto* reader = new LoopReader(buffer);
      reader->setParent(s);
      s->start(reader);
      *sink = s;
    });
    return true;
  }

  void stop() override {
    if (!sink_) return;
    // Queued after the start, so the sink exists by the time this runs.
    on_ui_thread([sink = std::move(sink_)] {
      if (*sink) {
        (*sink)->stop();
        (*sink)->deleteLater();
      }
    });
    sink_.reset();
  }

  uint32_t play_cursor() override {
    std::lock_guard lock(buffer_->mutex);
    return buffer_->cursor;
  }

  bool write(uint32_t offset, const uint8_t* data, uint32_t n) override {
    std::lock_guard lock(buffer_->mutex);
    for (uint32_t i = 0; i < n; ++i) {
      buffer_->bytes[(offset + i) % kSoundBufferBytes] = data[i];
    }
    return true;
  }

 private:
  QAudioDevice output_;
  std::shared_ptr<LoopBuffer> buffer_ = std::make_shared<LoopBuffer>();
  // Only dereferenced on the user-interface thread.
  std::shared_ptr<QPointer<QAudioSink>> sink_;
};

}  // namespace

platform::SoundDeviceFactory qt_sound_factory(const platform::Logger& logger) {
  const QAudioDevice output = QMediaDevices::defaultAudioOutput();
  if (output.isNull()) {
    logger.warning("sound: no audio output device, the sound stays silent");
    return [] { return nullptr; };
  }
  if (!output.isFormatSupported(output_format())) {
    logger.warning("sound: the output device \"" + output.description().toStdString() +
                   "\" cannot play 8 kHz 8-bit mono, the sound stays silent");
    return [] { return nullptr; };
  }
  return [output] { return std::make_unique<QtSoundDevice>(output); };
}

}  // namespace tessomar::viewer
