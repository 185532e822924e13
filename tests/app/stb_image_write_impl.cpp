// The one definition of the stb image writer for the app tests. Its JPEG encoder shifts
// negative values left, so the sanitizer build turns the shift check off for this file.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image_write.h"
