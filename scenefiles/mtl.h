#pragma once
// MTL material libraries: vyxMtlMaterial as read from the file, vyxMaterial as the
// shading reads it, and the mapping between the two.

#include <cstddef>
#include <cstdint>
#include <string>

struct vyxTexture;
struct vyxObjModel;

// One "newmtl" block of a library; fields named after the keyword that fills them.
struct vyxMtlMaterial {
    float kd[3] = {0, 0, 0}; // "Kd"
    float ka[3] = {0, 0, 0}; // "Ka" (stored, unused)
    float ks[3] = {0, 0, 0}; // "Ks"
    float ke[3] = {0, 0, 0}; // "Ke" (stored, unused)
    float reflectivity = 0;  // "illum": 3 sets the mean of ks, other non-zero values 0
    float dissolve = 1.0f;   // "d"
    float ft = 0;            // "Ft"
    uint8_t hasMapKd = 0;    // "map_Kd"
    uint8_t hasMapKa = 0;    // "map_Ka" (stored, unused)
    uint8_t lit = 1;         // "illum 0" clears it
    std::string name;        // "newmtl"
    std::string mapKd;       // "map_Kd": the file name as written, options skipped
    std::string mapKa;       // "map_Ka": likewise
    std::string folder;      // folder of the library that defined it ("./" style prefix)
    std::string confinedTo;  // the model's confinedTo when the library was read
};

// The material of a mesh, read by the shading at every hit.
struct vyxMaterial {
    float color[3];           // base colour
    float alpha;              // opacity
    vyxTexture* texture;      // colour map; set by the scene, not owned by the material
    char* textureFile;        // malloc'd path of the map_Kd image, owned; null when none
    float specular;           // highlight weight
    float reflectivity;       // mirror reflection weight
    float tintedReflectivity; // weight of the reflection tinted by the surface colour
    float fresnel;            // view-angle dependence of both reflection terms
    uint8_t unlit;            // 1 = ignores the lights
    uint8_t castsShadows;     // 1 = blocks shadow rays according to its alpha
};

// A material with the defaults: colour 0.8, alpha 1, casts shadows, everything else 0/null.
vyxMaterial vyxDefaultMaterial();

// The mapping from a library material: colour = kd, alpha = dissolve, textureFile = mapKd
// as found from folder (vyxFindPath, null when confinedTo refuses it) when hasMapKd, specular = |ks|, reflectivity,
// fresnel = ft, unlit = !lit. The result owns its textureFile: free it with vyxFreeMaterial.
vyxMaterial vyxMaterialFromMtl(const vyxMtlMaterial& mtl);

// Frees textureFile (safe when null) and clears it. Does not touch texture.
void vyxFreeMaterial(vyxMaterial& material);

// Reads a library from size bytes of text and appends its materials to model. The bytes
// need not end in NUL and may hold NUL bytes; text may be null when size is 0. Decoded as
// vyxDecodeText does. Property lines before the first "newmtl" of the library are
// ignored. Texture names may follow options ("-s 1 1 1 -clamp on name"); the rest of the
// line is the name, spaces included. Each material's folder is folder as vyxFolderPrefix
// gives it. Warnings on stderr, naming displayName (null: "(no name)") and the line:
// numbers that are not finite (the line changes nothing), colours outside [0, 1000] and
// opacities outside [0, 1] (clamped), lines holding NUL bytes (skipped). Nothing is
// printed on standard output. Threads may read into different models at once.
void vyxLoadMtlFromText(vyxObjModel& model, const char* text, size_t size, const char* displayName, const char* folder);

// Reads the library at path as vyxLoadMtlFromText reads its bytes, with path as the
// display name and folder as the materials' folder (null: the folder part of path, as
// vyxFolderOf gives it). Prints "Opened file <path>\n" or "Unable to open file.\n" on
// standard output (and why on stderr). Returns false when the file cannot be opened or
// read (model is then unchanged).
bool vyxLoadMtl(vyxObjModel& model, const char* path, const char* folder = nullptr);
