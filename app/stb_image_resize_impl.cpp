// The one compiled copy of stb's image resizer: presentation scales frames to the window
// with it, and image loading scales textures to powers of two.
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include "stb_image_resize.h"
