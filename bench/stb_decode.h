// stb_image as the reference decoder. Built only where the header is installed.
#ifndef ORVANDEL_BENCH_STB_DECODE_H
#define ORVANDEL_BENCH_STB_DECODE_H

#include <cstdint>

// The file's first picture as stb_image stores it (its own channel count),
// or null; release it with stb_release.
uint8_t* stb_decode(const char* path, int* width, int* height, int* channels);
void stb_release(uint8_t* pixels);

#endif
