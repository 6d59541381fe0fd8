#include "video/convert.h"

#include <algorithm>

namespace tessomar::video {

ConversionJob planConversion(int width, int height, int view_width, int view_height,
                             const PictureContext& context) {
  ConversionJob job;
  job.width = width;
  job.height = height;
  job.viewWidth = std::min((std::max(view_width, 0) + 3) / 4 * 4, kViewWidth);
  job.viewHeight = std::min((std::max(view_height, 0) + 7) / 8 * 8, kViewHeight);
  if (width <= 0 || height <= 0) return job;

  // The picture keeps its own size, or is doubled, and is centred; it is never stretched.
  const int vw = job.viewWidth;
  const int vh = job.viewHeight;
  int d = width;
  int e = height;
  job.lineDoubling = vw * 10 / height > 18;
  if (job.lineDoubling) e = 2 * height;
  job.scaling = vw < d - d / 10 || vw > d + d / 10 || vh < e - e / 5 || vh > e + e / 5;
  if (job.scaling && job.lineDoubling) d = 2 * width;
  job.xOffset = vw > d ? (vw - d) / 2 : 0;
  job.yOffset = vh > e ? (vh - e) / 2 : 0;
  job.outWidth = d;
  job.outHeight = e;

  // Full-height interlaced pictures are deinterlaced rather than doubled; half-height ones
  // hold a single field and are doubled. Narrow pictures go through the scaler instead.
  job.deinterlace = (context.mode == 1 || context.mode == 2) && context.interlaced;
  if (job.deinterlace) {
    if (height == 480 || height == 512 || height == 576) job.lineDoubling = false;
    if (height == 240 || height == 256 || height == 288) job.deinterlace = false;
  }
  if (width == 320 || width == 352) {
    job.lineDoubling = false;
    job.deinterlace = false;
  }
  if ((width == 640 || width == 704) && height > 288) job.lineDoubling = false;
  return job;
}

void setupVideoView(platform::Component& image) {
  const platform::Geometry& g = image.geometry();
  const int w = g.width > 0 ? g.width : kViewWidth;
  const int h = g.height > 0 ? g.height : kViewHeight;
  image.picture().resize(w, h);
  image.set_enabled(false);
}

ViewConverter::ViewConverter()
    : scaled_y_(new uint8_t[size_t(kViewWidth) * kViewHeight]()),
      scaled_cb_(new uint8_t[size_t(kChromaOutWidth) * kChromaOutRows]()),
      scaled_cr_(new uint8_t[size_t(kChromaOutWidth) * kChromaOutRows]()),
      colour_rows_(colour_rows_for(default_simd_level())) {}

void ViewConverter::set_simd_level(SimdLevel level) {
  colour_rows_ = colour_rows_for(level);
  work_.set_simd_level(level);
  scaler_.set_simd_level(level);
}

int ViewConverter::presentPicture(const DecodedPicture& picture, const PictureContext& context,
                                  platform::Component& image) {
  image.set_enabled(false);
  const int rc = convert(picture, context, image.picture());
  if (rc == 0) image.picture_changed();
  return rc;
}

int ViewConverter::convert(const DecodedPicture& picture, const PictureContext& context,
                           platform::Bitmap& view) {
  const int w = picture.width;
  const int h = picture.height;
  if (w <= 0 || h <= 0 || context.mode == 3 || view.empty()) return -1;
  if (picture.planeY == nullptr || picture.planeCb == nullptr || picture.planeCr == nullptr)
    return -1;
  // Every buffer is sized for the largest picture the view takes.
  if (w < 2 || h < 2 || w > kMaxPictureWidth || h > kMaxPictureHeight) return -1;

  ConversionJob job = planConversion(w, h, view.width(), view.height(), context);
  job.planeY = picture.planeY;
  job.planeCb = picture.planeCb;
  job.planeCr = picture.planeCr;
  job.strideY = picture.strideY;
  job.strideC = picture.strideC;
  job_ = job;
  // The part of the view that exists in the bitmap.
  const int draw_width = std::min(job.viewWidth, view.width());
  const int draw_height = std::min(job.viewHeight, view.height());
  draw(view, draw_width, draw_height);
  return 0;
}

void ViewConverter::draw(platform::Bitmap& view, int draw_width, int draw_height) {
  const ConversionJob& job = job_;
  const int w = job.width;
  const int h = job.height;

  // Luma source: the decoder's plane, or the work plane with rebuilt lines. A plain picture
  // is read where it lies instead of being copied first; the pixels are the same.
  const uint8_t* luma = job.planeY;
  ptrdiff_t luma_stride = job.strideY;
  int luma_rows = h;
  if (job.lineDoubling) {
    work_.double_lines(job.planeY, job.strideY, w, h);
    luma = work_.row(0);
    luma_stride = LumaWorkPlane::pitch();
    luma_rows = 2 * h;
  } else if (job.deinterlace) {
    work_.deinterlace(job.planeY, job.strideY, w, h);
    luma = work_.row(0);
    luma_stride = LumaWorkPlane::pitch();
  }
  const uint8_t* cb = job.planeCb;
  const uint8_t* cr = job.planeCr;
  ptrdiff_t chroma_stride = job.strideC;

  int vis_w = std::max(0, std::min(job.outWidth, draw_width - job.xOffset));
  int vis_h = std::max(0, std::min(job.outHeight, draw_height - job.yOffset));
  if (vis_w == 0) vis_h = 0;
  if (job.scaling && vis_w > 0 && vis_h > 0) {
    const int h_step = scale_step(w, job.outWidth);
    const int v_step = scale_step(luma_rows, job.outHeight);
    scaler_.scale(luma, luma_stride, w, luma_rows, h_step, v_step, vis_w, vis_h, scaled_y_.get(),
                  kViewWidth);
    // Chroma sample positions follow the same steps; only the rows the colour stage reads.
    const int c_cols = (vis_w + 1) / 2;
    const int c_rows = job.lineDoubling ? (vis_h - 1) / 4 + 1 : 2 * ((vis_h - 1) / 4) + 1;
    const int cw = (w + 1) / 2;
    const int ch = (h + 1) / 2;
    scaler_.scale(cb, chroma_stride, cw, ch, h_step, v_step, c_cols, c_rows, scaled_cb_.get(),
                  kChromaOutWidth);
    scaler_.scale(cr, chroma_stride, cw, ch, h_step, v_step, c_cols, c_rows, scaled_cr_.get(),
                  kChromaOutWidth);
    luma = scaled_y_.get();
    luma_stride = kViewWidth;
    cb = scaled_cb_.get();
    cr = scaled_cr_.get();
    chroma_stride = kChromaOutWidth;
  } else if (!job.scaling) {
    // Never read past the picture, whatever the layout asked for.
    vis_w = std::min(vis_w, w);
    vis_h = std::min(vis_h, luma_rows);
  }

  const int top = std::min(job.yOffset, draw_height);
  for (int y = 0; y < top; ++y) std::fill_n(view.row(y).data(), draw_width, kFrameColour);

  const int left = std::min(job.xOffset, draw_width);
  ColourRows rows;
  rows.width = vis_w;
  rows.write_around_cache = write_around_cache_;
  for (int r0 = 0; r0 < vis_h; r0 += 4) {
    rows.rows = std::min(4, vis_h - r0);
    // Four rows share one chroma row: every other chroma row, or each one in turn when the
    // lines were doubled.
    const int chroma_row = job.lineDoubling ? r0 / 4 : (r0 / 4) * 2;
    rows.cb = cb + ptrdiff_t(chroma_row) * chroma_stride;
    rows.cr = cr + ptrdiff_t(chroma_row) * chroma_stride;
    for (int t = 0; t < rows.rows; ++t) {
      uint32_t* out = view.row(job.yOffset + r0 + t).data();
      std::fill_n(out, left, kFrameColour);
      std::fill(out + left + vis_w, out + draw_width, kFrameColour);
      rows.y[t] = luma + ptrdiff_t(r0 + t) * luma_stride;
      rows.out[t] = out + left;
    }
    colour_rows_(rows);
  }

  for (int y = top + vis_h; y < draw_height; ++y)
    std::fill_n(view.row(y).data(), draw_width, kFrameColour);
}

}  // namespace tessomar::video
