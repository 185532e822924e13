// The one definition of the stb image writer used by the asset generator. Its JPEG bit
// writer shifts negative ints left (defined by gcc, undefined by the standard), so the
// build turns off the sanitizer's shift check for this file only.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image_write.h"
