// tessomar-skinbuilder: builds the key form's skin file and the main form's picture from the
// skin description.
//
//   tessomar-skinbuilder --description keyform.skin --out build/data/system32 [--list]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "skin.h"

namespace {

using namespace skinbuilder;

constexpr const char* kKeyFormFile = "TessomarKeyForm_02030202.YUV2";
constexpr const char* kMainFormFile = "TessomarMainForm_02030202.bmp";
constexpr int kMainFormWidth = 1024;
constexpr int kMainFormHeight = 616;

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!out) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

void put_le(std::vector<uint8_t>& b, size_t at, uint32_t v, int n) {
  for (int k = 0; k < n; ++k) b[at + size_t(k)] = uint8_t(v >> (8 * k));
}

// A 24-bit bottom-up Windows bitmap.
std::vector<uint8_t> encode_bmp(const Canvas& c) {
  size_t stride = (size_t(c.width()) * 3 + 3) & ~size_t(3);
  size_t data = stride * size_t(c.height());
  std::vector<uint8_t> b(54 + data, 0);
  b[0] = 'B';
  b[1] = 'M';
  put_le(b, 2, uint32_t(b.size()), 4);
  put_le(b, 10, 54, 4);
  put_le(b, 14, 40, 4);
  put_le(b, 18, uint32_t(c.width()), 4);
  put_le(b, 22, uint32_t(c.height()), 4);
  put_le(b, 26, 1, 2);
  put_le(b, 28, 24, 2);
  put_le(b, 34, uint32_t(data), 4);
  put_le(b, 38, 2835, 4);
  put_le(b, 42, 2835, 4);
  auto byte = [](float v) { return uint8_t(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); };
  for (int y = 0; y < c.height(); ++y) {
    uint8_t* row = b.data() + 54 + stride * size_t(c.height() - 1 - y);
    for (int x = 0; x < c.width(); ++x) {
      const Rgba& p = c.at(x, y);
      row[3 * x] = byte(p.b);
      row[3 * x + 1] = byte(p.g);
      row[3 * x + 2] = byte(p.r);
    }
  }
  return b;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "tessomar-skinbuilder: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string description_path, out_dir;
  bool list = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--description") && i + 1 < argc) {
      description_path = argv[++i];
    } else if (!std::strcmp(argv[i], "--out") && i + 1 < argc) {
      out_dir = argv[++i];
    } else if (!std::strcmp(argv[i], "--list")) {
      list = true;
    } else {
      std::fprintf(stderr,
                   "usage: tessomar-skinbuilder --description FILE --out DIR [--list]\n"
                   "Writes %s and %s into DIR.\n",
                   kKeyFormFile, kMainFormFile);
      return 2;
    }
  }
  if (description_path.empty() || out_dir.empty())
    return fail("--description and --out are needed");

  std::ifstream in(description_path, std::ios::binary);
  if (!in) return fail("cannot read " + description_path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  std::string error;
  std::vector<Statement> statements;
  if (!parse_description(text, statements, error)) return fail(description_path + ": " + error);
  SkinPlan plan;
  if (!build_plan(std::move(statements), plan, error)) return fail(description_path + ": " + error);
  if (!check_layout(plan, error)) return fail(description_path + ": " + error);
  int height = 0;
  if (!pack_strips(plan, height, error)) return fail(description_path + ": " + error);

  Fonts fonts;
  if (!fonts.init(error)) return fail(error);
  std::vector<uint8_t> skin;
  if (!render_skin(plan, height, fonts, skin, error)) return fail(error);
  if (!plan.main_form) return fail("the description has no mainform statement");
  Canvas form(kMainFormWidth, kMainFormHeight);
  if (!paint_main_form(*plan.main_form, plan.palette, fonts, form, error)) return fail(error);
  if (!plan.palette.unknown_names().empty()) {
    return fail(description_path + ": unknown colour '" + *plan.palette.unknown_names().begin() +
                "'");
  }
  if (!write_file(out_dir + "/" + kKeyFormFile, skin, error)) return fail(error);
  if (!write_file(out_dir + "/" + kMainFormFile, encode_bmp(form), error)) return fail(error);

  if (list) {
    for (const ImagePlan& im : plan.images) {
      std::printf("%-16s %3dx%-3d strip %2dx%-2d at (%4d, %4d) kind %4d lands at %s x\n",
                  im.name.c_str(), im.cw, im.ch, im.cols, im.rows, im.sx, im.sy, im.kind,
                  im.dest_parity == 1 ? "odd" : "even");
    }
  }
  std::printf("tessomar-skinbuilder: %zu images, %zu elements, picture %d x %d, %zu bytes\n",
              plan.images.size(), plan.elements.size(), plan.picture_width, height, skin.size());
  return 0;
}
