// The one definition of the stb image writer, built once as its own library
// (vyx_stb_write) for the program's screenshots, the image tests and the asset generator,
// which has no SDL and so does not link the rest of app/. Its JPEG bit writer shifts
// negative ints left (defined by gcc, undefined by the standard), so the build turns off
// the sanitizer's shift check for it.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image_write.h"
