// Drawing decoded pictures into the video view (the 704 x 576 picture of `Image_video`):
// layout in the view, line doubling or deinterlacing by directional interpolation, optional
// bilinear upscaling, fixed-point YUV to RGB, and a grey frame round the picture.
#pragma once

#include <cstdint>

#include "platform/bitmap.h"
#include "platform/form.h"
#include "video/decoder.h"
#include "video/interpolate.h"
#include "video/scaler.h"
#include "video/yuv_rgb.h"

namespace tessomar::video {

constexpr int kViewWidth = 704;
constexpr int kViewHeight = 576;
constexpr uint32_t kFrameColour = 0xFF3C3C3C;

// What the slot's state says about the picture being presented.
struct PictureContext {
  int mode = 0;             // the slot's ICMD session mode: 0 live, 1 playback, 2 backup, 3 setup
  bool interlaced = false;  // the viewer's mark for the picture (PictureHeader byte 14)
};

struct ConversionJob {
  const uint8_t* planeY = nullptr;
  const uint8_t* planeCb = nullptr;
  const uint8_t* planeCr = nullptr;
  int strideY = 0;
  int strideC = 0;
  int width = 0;
  int height = 0;
  int viewWidth = 0;
  int viewHeight = 0;
  bool lineDoubling = false;
  bool deinterlace = false;
  bool scaling = false;
  int outWidth = 0;
  int outHeight = 0;
  int xOffset = 0;
  int yOffset = 0;
};

// The layout of a w x h picture in a view of the given size, then the flags for the slot's
// mode and the picture's interlaced mark. Pure; the planes are left empty.
ConversionJob planConversion(int width, int height, int view_width, int view_height,
                             const PictureContext& context);

// Gives the image a 32-bit bitmap of its own size and takes it out of pointer input.
void setupVideoView(platform::Component& image);

// Owns every work buffer of the conversion, allocated once at construction.
class ViewConverter {
 public:
  ViewConverter();

  // Draws the picture into view. 0 when drawn; -1 with the view untouched for an empty
  // picture, the setup mode, an empty view, or a picture larger than 704 x 576. Only the
  // part inside the view is drawn.
  int convert(const DecodedPicture& picture, const PictureContext& context, platform::Bitmap& view);

  // The whole presentation into the image control: not enabled, drawn, repainted. Same
  // result as convert. The time labels are the viewer's, after a 0 from here.
  int presentPicture(const DecodedPicture& picture, const PictureContext& context,
                     platform::Component& image);

  // The job of the last picture drawn.
  const ConversionJob& lastJob() const { return job_; }
  const LumaWorkPlane& workPlane() const { return work_; }

  // The vector code of every stage, lowered to what the processor runs; kScalar is the plain code
  // throughout. The default is default_simd_level().
  void set_simd_level(SimdLevel level);
  void set_simd(bool allow) { set_simd_level(allow ? machine_simd_level() : SimdLevel::kScalar); }
  // For a view that is not read back after every picture (no window paints it): the colour
  // stage then writes it around the cache, which leaves the cache to the decoder. Off by
  // default; the pixels are the same either way.
  void set_write_around_cache(bool on) { write_around_cache_ = on; }

 private:
  static constexpr int kChromaOutWidth = kViewWidth / 2;
  static constexpr int kChromaOutRows = kViewHeight / 2;

  void draw(platform::Bitmap& view, int draw_width, int draw_height);

  ConversionJob job_;
  LumaWorkPlane work_;
  PlaneScaler scaler_;
  std::unique_ptr<uint8_t[]> scaled_y_;   // kViewWidth x kViewHeight
  std::unique_ptr<uint8_t[]> scaled_cb_;  // kChromaOutWidth x kChromaOutRows
  std::unique_ptr<uint8_t[]> scaled_cr_;
  ColourRowsFn colour_rows_;
  bool write_around_cache_ = false;
};

}  // namespace tessomar::video
