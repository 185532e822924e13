#pragma once
// The byte stream the import helper (vyx-import) writes to its standard output for the
// program: what a model library read from a file, flattened into records. The program
// decodes it here as hostile input: the helper runs a large third-party library on
// untrusted files and may have been subverted or cut off half-way.
//
// Layout (all numbers little-endian, floats IEEE single precision):
//   the 8 bytes vyxImportMagic, then records, each a 4-byte tag, a u64 payload length
//   and the payload, the last one an End record:
//   Note      text: one line the program prints (parts of the file it ignores)
//   Fail      text: the library's reason for not reading the file
//   Texture   u32 hint length, hint ("png", "jpg": the library's format hint), u32 name
//             length, name (as the file calls the image), the image file's bytes
//   Material  f32 base colour r g b a, f32 emission r g b, u32 alpha mode, f32 alpha
//             cut-off, u32 1 when the base colour tints the texture (0: the texture
//             replaces it), i32 texture (index among the Texture records, -1 = none),
//             u32 name length, name, u32 length of the texture path, texture path as
//             written in the file ("" = none; ignored when texture is not -1)
//   Mesh      u32 material, u32 vertex count V, u32 triangle count T, u32 flags
//             (ImportHasNormals, ImportHasTexcoords), u32 name length, name, then
//             3V f32 positions, 3V f32 normals when flagged, 2V f32 texture
//             coordinates when flagged, 3T u32 vertex indices; positions and normals
//             already carried through the node transforms
//   End       u64 points skipped, u64 lines skipped

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scenefiles/obj.h"

constexpr char vyxImportMagic[8] = {'V', 'Y', 'X', 'I', 'M', 'P', '0', '1'};

enum : uint32_t {
    ImportNote = 0x45544f4e,     // "NOTE"
    ImportFail = 0x4c494146,     // "FAIL"
    ImportTexture = 0x52584554,  // "TEXR"
    ImportMaterial = 0x4c54414d, // "MATL"
    ImportMesh = 0x4853454d,     // "MESH"
    ImportEnd = 0x2e444e45,      // "END."
};

enum : uint32_t { ImportHasNormals = 1, ImportHasTexcoords = 2 };

// How a material's alpha (base colour alpha times texture alpha) is used.
enum : uint32_t {
    ImportOpaque = 0, // alpha ignored
    ImportMask = 1,   // cut-out: alpha below the cut-off is fully transparent, the rest opaque
    ImportBlend = 2,  // translucent by alpha
};

// One material as the helper sent it.
struct vyxImportedMaterial {
    float baseColour[4];     // r, g, b, alpha; the alpha multiplies the texture's
    float emission[3];       // light the surface gives off
    uint32_t alphaMode;      // ImportOpaque, ImportMask or ImportBlend
    float alphaCutoff;       // for ImportMask
    uint32_t tintsTexture;   // 1: the base colour multiplies the texture's colour too
    int32_t texture;         // index into vyxImportedModel::textures; -1 = none
    std::string name;        //
    std::string texturePath; // an image beside the model, as the file names it; "" = none
};

// One embedded image: the bytes of an image file.
struct vyxImportedTexture {
    std::string hint;  // the library's format hint ("png", "jpg"), may be empty
    std::string name;  // what the model file calls it
    std::string bytes; // the image file
};

// The decoded stream. model holds the geometry in the OBJ reader's form, one group per
// mesh record (vertex indices offset into one shared list), and one library material per
// material record: kd the base colour (the emission for a surface that only emits
// light, which is then unlit), dissolve its alpha (0 or 1 for a cut-out, 1 when
// opaque), map_Kd the texture's name when it has one. materials and textures keep the
// rest, same indices as model.materials.
struct vyxImportedModel {
    vyxObjModel model;
    std::vector<vyxImportedMaterial> materials;
    std::vector<vyxImportedTexture> textures;
    std::vector<std::string> notes; // lines to print
    std::string failure;            // the library's reason for not reading the file; "" = none
    uint64_t pointsSkipped = 0;
    uint64_t linesSkipped = 0;
};

// Decodes size bytes of the helper's output into model (which should be empty); folder
// is where map_Kd names are found from (the model's folder, as vyxFolderPrefix gives
// it). Returns false with a one-line reason in error when the bytes are not a whole,
// well-formed stream: a wrong magic number, a record running past the end or longer
// than its contents, an index outside its vertices, materials or textures, more than
// maxTriangles triangles in all, no End record, bytes after it. A stream holding a Fail
// record is well-formed: its text is in model.failure. Positions are kept as sent (the
// mesh builder leaves out what is not finite); normals that are not finite or zero are
// dropped (the corner gets the flat normal). On failure model may hold part of the
// stream; it is still valid to use and free. Threads may decode different streams at once.
bool vyxDecodeImportStream(const uint8_t* bytes, size_t size, const char* folder, uint64_t maxTriangles,
                           vyxImportedModel& model, std::string& error);
