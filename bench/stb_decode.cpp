// Compiled without warnings as errors: the header is not ours.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_BMP
#define STBI_ONLY_TGA
#define STBI_ONLY_GIF
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#include <stb_image.h>

#include "bench/stb_decode.h"

uint8_t* stb_decode(const char* path, int* width, int* height, int* channels) {
    return stbi_load(path, width, height, channels, 0);
}

void stb_release(uint8_t* pixels) { stbi_image_free(pixels); }
