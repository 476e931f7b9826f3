// image_difference A B: how far two image files' pixels lie apart, read
// with the host's own image decoder (PNG, JPEG). Prints "WIDTH HEIGHT MEAN
// MAX": the mean and the largest difference of a channel (A, R, G, B) over
// all pixels. Exit status 0 when both were read and are of one size, 1 when
// their sizes differ, 2 when either cannot be read.
//
// The same texture exported on two platforms is written by two JPEG
// encoders; their pixels lie close but not equal, which only a decoder can
// tell from a different picture.
#include <cstdio>
#include <cstdlib>

#include "hostmodel/image.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: image_difference A B\n");
    return 2;
  }
  auto a = hostmodel::DecodeImageFile(argv[1]);
  auto b = hostmodel::DecodeImageFile(argv[2]);
  if (!a || !b) {
    std::fprintf(stderr, "image_difference: %s\n", (!a ? a.error() : b.error()).c_str());
    return 2;
  }
  if (a->width != b->width || a->height != b->height || a->pixels.size() != b->pixels.size()) {
    std::printf("%d x %d against %d x %d\n", a->width, a->height, b->width, b->height);
    return 1;
  }
  double sum = 0;
  int largest = 0;
  for (std::size_t i = 0; i < a->pixels.size(); ++i) {
    const int d = std::abs(int(a->pixels[i]) - int(b->pixels[i]));
    sum += d;
    if (d > largest) largest = d;
  }
  std::printf("%d %d %.4f %d\n", a->width, a->height, a->pixels.empty() ? 0.0 : sum / double(a->pixels.size()),
              largest);
  return 0;
}
