#include "platform/bytes.h"
#include "recording/backup_job.h"
#include "recording/movie_writer.h"

namespace tessomar::recording {

namespace {

class MovieWriterPort final : public BackupWriter {
 public:
  explicit MovieWriterPort(MovieWriter& w) : w_(w) {}
  void set_file(std::string path) override { w_.set_file(std::move(path)); }
  void beginMovie(uint32_t s, uint32_t e) override { w_.beginMovie(s, e); }
  void shiftWindow(int32_t offset) override { w_.shiftWindow(offset); }
  int checkItem(std::span<const uint8_t> items) override { return w_.checkItem(items); }
  int appendItems(std::span<uint8_t> items) override { return w_.appendItems(items); }
  uint32_t finishMediaData() override { return w_.finishMediaData(); }
  void writeMovieAtom() override { w_.writeMovieAtom(); }
  void write_mdat_size(uint32_t size) override { w_.write_mdat_size(size); }
  void requestWatermark(uint32_t key, uint32_t channel) override {
    w_.requestWatermark(key, channel);
  }
  uint32_t watermark_seed() override {
    return platform::load_u32le(w_.watermark().data() + kWatermarkSeed);
  }
  void clear_watermark_seed() override {
    platform::store_u32le(w_.watermark().data() + kWatermarkSeed, 0);
  }
  bool write_failed() const override { return w_.write_failed(); }
  uint32_t sampleCount() const override { return w_.sampleCount(); }
  void clear_samples() override { w_.clear_samples(); }
  uint32_t window_start() const override { return w_.window_start(); }

 private:
  MovieWriter& w_;
};

}  // namespace

std::unique_ptr<BackupWriter> movie_writer_port(MovieWriter& writer) {
  return std::make_unique<MovieWriterPort>(writer);
}

}  // namespace tessomar::recording
