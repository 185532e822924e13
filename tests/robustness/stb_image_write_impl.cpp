// The one definition of the stb image writer for the bad-input tests. Its JPEG encoder
// shifts negative values left, so the sanitizer build turns the shift check off here.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image_write.h"
