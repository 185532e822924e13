// vyx-import: the import helper. Reads one model file of any format the Open Asset Import
// Library reads and writes what the program needs of it (triangles carried through the
// node transforms, normals, texture coordinates, materials, embedded images) to standard
// output as the stream of scenefiles/import_stream.h. The program starts it for every
// model that is not OBJ text: the library aborts, crashes, hangs or allocates without
// bound on damaged files, which here ends this process only.
//
// Usage: vyx-import [--memory-limit BYTES] [--max-triangles N] [--confine] [--] MODEL
//        vyx-import --version
// --confine: the library may open no file outside the model's folder (buffers, images,
// other parts of the model); each one refused is named in the stream.
// Exit status: 0 with a complete stream, 1 when the library could not read the file
// (a Fail record says why), 2 for bad arguments.

#include <sys/resource.h>
#include <unistd.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <assimp/DefaultIOSystem.h>
#include <assimp/GltfMaterial.h>
#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include "scenefiles/import_stream.h"

namespace {

// Record writing straight to standard output, every value little-endian: arrays are
// written as they lie in memory, which is little-endian on the machines the program
// runs on.
static_assert(sizeof(float) == 4, "the stream holds IEEE single-precision floats");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "arrays are written as they lie in memory");

void putBytes(const void* data, size_t count) {
    if (count > 0 && std::fwrite(data, 1, count, stdout) != count) {
        // The program stopped reading: nothing more to do.
        std::exit(1);
    }
}
void putU32(uint32_t value) {
    uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                    static_cast<uint8_t>(value >> 24)};
    putBytes(b, 4);
}
void putU64(uint64_t value) {
    putU32(static_cast<uint32_t>(value));
    putU32(static_cast<uint32_t>(value >> 32));
}
void putF32(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    putU32(bits);
}
void putText(const std::string& text) {
    putU32(static_cast<uint32_t>(text.size()));
    putBytes(text.data(), text.size());
}
void putHeader(uint32_t tag, uint64_t length) {
    putU32(tag);
    putU64(length);
}
void putTextRecord(uint32_t tag, std::string text) {
    // The program cuts texts at 4096 bytes anyway; the library's can be far longer.
    if (text.size() > 4096)
        text.resize(4096);
    putHeader(tag, text.size());
    putBytes(text.data(), text.size());
}

[[noreturn]] void failWith(const std::string& reason) {
    putTextRecord(ImportFail, reason);
    std::fflush(stdout);
    std::exit(1);
}

// Whether the file at path starts with the magic of binary glTF.
bool startsAsGlb(const char* path) {
    char magic[4] = {};
    FILE* file = std::fopen(path, "rb");
    const bool glb = file && std::fread(magic, 1, 4, file) == 4 && std::memcmp(magic, "glTF", 4) == 0;
    if (file)
        std::fclose(file);
    return glb;
}

// The library's reason, with its memory failures said plainly. A binary glTF file cut
// short fails the library's size checks, after which it says no reader suits the format,
// though the format was plain from the first bytes.
std::string libraryReason(const char* error, const char* path, uint64_t memoryLimit) {
    std::string reason = error && *error ? error : "the file could not be read";
    if (reason.find("bad_alloc") != std::string::npos)
        reason = "the model needs more memory than the import may use (" + std::to_string(memoryLimit >> 20) + " MiB)";
    else if (reason.find("No suitable reader found") != std::string::npos && startsAsGlb(path))
        reason =
            "the file looks damaged or cut short (it starts as binary glTF, but its contents do not hold together)";
    return reason;
}

// The library's file access for a model read with --confine: the model itself and files
// inside its folder, once ".." and links are resolved, are opened; any other is refused
// and its name kept for the stream. A name that does not exist is passed on (the open
// fails anyway).
class ConfinedIOSystem : public Assimp::DefaultIOSystem {
public:
    ConfinedIOSystem(const char* model, std::vector<std::string>& refused) : refused_(refused) {
        model_ = resolved(model);
        const char* slash = std::strrchr(model, '/');
        folder_ = resolved(slash ? std::string(model, static_cast<size_t>(slash - model) + 1) : std::string("."));
        if (!folder_.empty() && folder_.back() != '/')
            folder_ += '/';
    }
    Assimp::IOStream* Open(const char* file, const char* mode) override {
        const std::string real = resolved(file);
        const bool inside =
            real.empty() || real == model_ || (!folder_.empty() && real.compare(0, folder_.size(), folder_) == 0);
        if (!inside) {
            refused_.push_back(std::string(file) + " lies outside the model's folder; not read (--confine)");
            return nullptr;
        }
        return DefaultIOSystem::Open(file, mode);
    }

private:
    // path with ".." and links resolved; "" when it does not exist.
    static std::string resolved(const std::string& path) {
        char* real = realpath(path.c_str(), nullptr);
        std::string text = real ? real : "";
        std::free(real);
        return text;
    }
    std::vector<std::string>& refused_;
    std::string model_, folder_;
};

// What the program reads of one material.
struct Material {
    float base[4] = {0.8f, 0.8f, 0.8f, 1.0f};
    float emission[3] = {0, 0, 0};
    uint32_t alphaMode = ImportBlend;
    float cutoff = 0.5f;
    uint32_t tintsTexture = 0;
    int32_t texture = -1; // index among the Texture records written
    std::string name, texturePath;
};

// glTF's base colour factor multiplies its texture; elsewhere, as in an MTL library, the
// diffuse texture replaces the diffuse colour and keeps the opacity.
Material readMaterial(const aiScene& scene, const aiMaterial& in, std::vector<int>& textureRecords,
                      std::vector<unsigned>& texturesToSend) {
    Material out;
    aiString text;
    if (in.Get(AI_MATKEY_NAME, text) == AI_SUCCESS)
        out.name = text.C_Str();
    const bool gltf = in.Get(AI_MATKEY_GLTF_ALPHAMODE, text) == AI_SUCCESS;
    aiColor4D colour;
    if (gltf) {
        out.alphaMode = std::strcmp(text.C_Str(), "BLEND") == 0  ? ImportBlend
                        : std::strcmp(text.C_Str(), "MASK") == 0 ? ImportMask
                                                                 : ImportOpaque;
        in.Get(AI_MATKEY_GLTF_ALPHACUTOFF, out.cutoff);
        out.tintsTexture = 1;
        out.base[0] = out.base[1] = out.base[2] = 1.0f;
        if (in.Get(AI_MATKEY_BASE_COLOR, colour) == AI_SUCCESS ||
            in.Get(AI_MATKEY_COLOR_DIFFUSE, colour) == AI_SUCCESS) {
            out.base[0] = colour.r;
            out.base[1] = colour.g;
            out.base[2] = colour.b;
            out.base[3] = colour.a;
        }
    } else {
        if (in.Get(AI_MATKEY_COLOR_DIFFUSE, colour) == AI_SUCCESS) {
            out.base[0] = colour.r;
            out.base[1] = colour.g;
            out.base[2] = colour.b;
        }
        float opacity = 1.0f;
        if (in.Get(AI_MATKEY_OPACITY, opacity) == AI_SUCCESS)
            out.base[3] = opacity;
    }
    aiColor3D emission;
    if (in.Get(AI_MATKEY_COLOR_EMISSIVE, emission) == AI_SUCCESS) {
        out.emission[0] = emission.r;
        out.emission[1] = emission.g;
        out.emission[2] = emission.b;
    }

    aiString path;
    if (in.GetTexture(aiTextureType_BASE_COLOR, 0, &path) != AI_SUCCESS &&
        in.GetTexture(aiTextureType_DIFFUSE, 0, &path) != AI_SUCCESS)
        return out;
    // "*N" names the file's Nth embedded image; FBX and zipped Collada name theirs by
    // file name, which the scene matches too.
    std::pair<const aiTexture*, int> embedded = scene.GetEmbeddedTextureAndIndex(path.C_Str());
    if (embedded.first == nullptr) {
        if (path.C_Str()[0] != '*')
            out.texturePath = path.C_Str();
        return out;
    }
    if (embedded.first->mHeight != 0) {
        // Uncompressed texels (a few old formats): not read by the program's image loader.
        return out;
    }
    const unsigned index = static_cast<unsigned>(embedded.second);
    if (textureRecords[index] < 0) {
        textureRecords[index] = static_cast<int>(texturesToSend.size());
        texturesToSend.push_back(index);
    }
    out.texture = textureRecords[index];
    return out;
}

void writeMaterial(const Material& m) {
    putHeader(ImportMaterial, 4 * 11 + 4 + m.name.size() + 4 + m.texturePath.size());
    for (float c : m.base)
        putF32(c);
    for (float c : m.emission)
        putF32(c);
    putU32(m.alphaMode);
    putF32(m.cutoff);
    putU32(m.tintsTexture);
    putU32(static_cast<uint32_t>(m.texture));
    putText(m.name);
    putText(m.texturePath);
}

void writeTexture(const aiTexture& texture) {
    std::string hint(texture.achFormatHint, strnlen(texture.achFormatHint, sizeof texture.achFormatHint));
    std::string name = texture.mFilename.C_Str();
    if (name.size() > 4096)
        name.resize(4096);
    putHeader(ImportTexture, 4 + hint.size() + 4 + name.size() + texture.mWidth);
    putText(hint);
    putText(name);
    putBytes(texture.pcData, texture.mWidth);
}

// The triangles of mesh, positions and normals carried into the scene's frame by
// transform; points and lines are counted, not written.
void writeMesh(const aiMesh& mesh, const aiMatrix4x4& transform, uint64_t& points, uint64_t& lines) {
    uint32_t triangles = 0;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        unsigned corners = mesh.mFaces[f].mNumIndices;
        triangles += corners == 3;
        points += corners == 1;
        lines += corners == 2;
    }
    if (triangles == 0)
        return;
    const bool normals = mesh.mNormals != nullptr;
    const bool texcoords = mesh.mTextureCoords[0] != nullptr;
    const uint64_t vertices = mesh.mNumVertices;
    const std::string name = mesh.mName.C_Str();
    putHeader(ImportMesh, 5 * 4 + name.size() +
                              4 * (vertices * (3 + (normals ? 3 : 0) + (texcoords ? 2 : 0)) + 3 * uint64_t{triangles}));
    putU32(mesh.mMaterialIndex);
    putU32(mesh.mNumVertices);
    putU32(triangles);
    putU32((normals ? uint32_t{ImportHasNormals} : 0u) | (texcoords ? uint32_t{ImportHasTexcoords} : 0u));
    putText(name);
    // Each array is gathered whole and written at once: a million triangles are some 30
    // million values.
    std::vector<float> values;
    values.reserve(3 * vertices);
    for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
        aiVector3D p = transform * mesh.mVertices[v];
        values.insert(values.end(), {p.x, p.y, p.z});
    }
    putBytes(values.data(), 4 * values.size());
    if (normals) {
        // Normals go through the inverse transpose, which keeps them perpendicular to
        // surfaces that a non-uniform scale has stretched.
        aiMatrix3x3 normalMatrix(transform);
        normalMatrix.Inverse().Transpose();
        values.clear();
        for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
            aiVector3D n = normalMatrix * mesh.mNormals[v];
            values.insert(values.end(), {n.x, n.y, n.z});
        }
        putBytes(values.data(), 4 * values.size());
    }
    if (texcoords) {
        values.clear();
        for (unsigned v = 0; v < mesh.mNumVertices; ++v)
            values.insert(values.end(), {mesh.mTextureCoords[0][v].x, mesh.mTextureCoords[0][v].y});
        putBytes(values.data(), 4 * values.size());
    }
    std::vector<uint32_t> indices;
    indices.reserve(3 * uint64_t{triangles});
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        const aiFace& face = mesh.mFaces[f];
        if (face.mNumIndices == 3)
            indices.insert(indices.end(), {face.mIndices[0], face.mIndices[1], face.mIndices[2]});
    }
    putBytes(indices.data(), 4 * indices.size());
}

// "the file's 2 cameras and 1 animation are ignored", or "" when it has none.
std::string ignoredParts(const aiScene& scene) {
    std::vector<std::string> parts;
    auto count = [&](unsigned n, const char* what) {
        if (n > 0)
            parts.push_back(std::to_string(n) + " " + what + (n == 1 ? "" : "s"));
    };
    count(scene.mNumCameras, "camera");
    count(scene.mNumLights, "light");
    count(scene.mNumAnimations, "animation");
    if (parts.empty())
        return std::string();
    std::string text = "the file's ";
    for (size_t i = 0; i < parts.size(); ++i)
        text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return text + (parts.size() == 1 && parts[0].compare(0, 2, "1 ") == 0 ? " is ignored" : " are ignored");
}

int run(const char* path, uint64_t memoryLimit, uint64_t maxTriangles, bool confine) {
    putBytes(vyxImportMagic, sizeof vyxImportMagic);
    Assimp::Importer importer;
    std::vector<std::string> refused;
    if (confine)
        importer.SetIOHandler(new ConfinedIOSystem(path, refused));
    // A file of bones alone would otherwise be drawn as a made-up stick figure.
    importer.SetPropertyBool(AI_CONFIG_IMPORT_NO_SKELETON_MESHES, true);
    // Joining identical vertices is most of the time and memory of a large import, and
    // the tracer does not share vertices. Validation turns most broken indices into an
    // error; invalid data removes meshes of infinite or NaN coordinates.
    const aiScene* scene =
        importer.ReadFile(path, aiProcess_Triangulate | aiProcess_ValidateDataStructure | aiProcess_FindInvalidData);
    // A file refused is the likely reason the library gave up, and the one to tell.
    if (scene == nullptr)
        failWith(refused.empty() ? libraryReason(importer.GetErrorString(), path, memoryLimit) : refused.front());
    for (const std::string& note : refused)
        putTextRecord(ImportNote, note);

    std::string ignored = ignoredParts(*scene);
    if (!ignored.empty())
        putTextRecord(ImportNote, ignored);

    std::vector<int> textureRecords(scene->mNumTextures, -1);
    std::vector<unsigned> texturesToSend;
    std::vector<Material> materials;
    for (unsigned m = 0; m < scene->mNumMaterials; ++m)
        materials.push_back(readMaterial(*scene, *scene->mMaterials[m], textureRecords, texturesToSend));
    // A mesh names a material by index: there is always one to name.
    if (materials.empty())
        materials.emplace_back();
    for (unsigned index : texturesToSend)
        writeTexture(*scene->mTextures[index]);
    for (const Material& m : materials)
        writeMaterial(m);

    // Every node with its transform from the root, walked with a stack of its own: a
    // file's node chain can be deeper than the call stack.
    uint64_t points = 0, lines = 0, triangles = 0;
    std::vector<std::pair<const aiNode*, aiMatrix4x4>> stack;
    if (scene->mRootNode)
        stack.emplace_back(scene->mRootNode, scene->mRootNode->mTransformation);
    while (!stack.empty()) {
        const aiNode* node = stack.back().first;
        const aiMatrix4x4 transform = stack.back().second;
        stack.pop_back();
        for (unsigned i = 0; i < node->mNumMeshes; ++i) {
            if (node->mMeshes[i] >= scene->mNumMeshes)
                continue;
            const aiMesh& mesh = *scene->mMeshes[node->mMeshes[i]];
            // Instances of one mesh repeat it: the count keeps a small file from
            // expanding into more than the program takes.
            triangles += mesh.mNumFaces;
            if (triangles > maxTriangles)
                failWith("more than " + std::to_string(maxTriangles) + " triangles");
            writeMesh(mesh, transform, points, lines);
        }
        for (unsigned c = node->mNumChildren; c-- > 0;)
            stack.emplace_back(node->mChildren[c], transform * node->mChildren[c]->mTransformation);
    }
    putHeader(ImportEnd, 16);
    putU64(points);
    putU64(lines);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The address space the process holds now, in bytes; 0 when it cannot be read.
uint64_t addressSpaceInUse() {
    unsigned long long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm && std::fscanf(statm, "%llu", &pages) != 1)
        pages = 0;
    if (statm)
        std::fclose(statm);
    return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}
#endif

bool parseCount(const char* text, uint64_t& value) {
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0')
        return false;
    value = parsed;
    return true;
}

} // namespace

// In sanitizer builds the library's crashes on damaged files stay the plain signals the
// program reports (the sanitizers would turn them into reports and exit status 1, which
// means "the library refused the file"), and a finding in our own code aborts, which the
// program reports as a crash with the finding's last line. The library's leaks on
// damaged files are not findings: main turns the leak check off.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:abort_on_error=1";
}
extern "C" const char* __ubsan_default_options() { return "abort_on_error=1:print_stacktrace=1"; }
#endif
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() { return "handle_segv=0:handle_sigbus=0:abort_on_error=1"; }
#endif

int main(int argc, char** argv) {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_disable();
#endif
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("vyx-import %s\n", VYX_VERSION);
        return 0;
    }
    uint64_t memoryLimit = 0, maxTriangles = UINT32_MAX;
    const char* path = nullptr;
    bool options = true, confine = false;
    for (int i = 1; i < argc; ++i) {
        if (options && std::strcmp(argv[i], "--") == 0) {
            options = false;
        } else if (options && std::strcmp(argv[i], "--memory-limit") == 0 && i + 1 < argc &&
                   parseCount(argv[i + 1], memoryLimit)) {
            ++i;
        } else if (options && std::strcmp(argv[i], "--max-triangles") == 0 && i + 1 < argc &&
                   parseCount(argv[i + 1], maxTriangles)) {
            ++i;
        } else if (options && std::strcmp(argv[i], "--confine") == 0) {
            confine = true;
        } else if (path == nullptr && (!options || argv[i][0] != '-')) {
            path = argv[i];
        } else {
            path = nullptr;
            break;
        }
    }
    if (path == nullptr) {
        std::fprintf(stderr, "usage: vyx-import [--memory-limit BYTES] [--max-triangles N] [--confine] [--] MODEL\n");
        return 2;
    }
    if (memoryLimit > 0) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // The sanitizers reserve terabytes of address space for their shadow memory
        // before main: the model's share comes on top of that.
        memoryLimit += addressSpaceInUse();
#endif
        rlimit limit{memoryLimit, memoryLimit};
        setrlimit(RLIMIT_AS, &limit);
    }
    static char buffer[1 << 20];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    try {
        return run(path, memoryLimit, maxTriangles, confine);
    } catch (const std::bad_alloc&) {
        failWith(libraryReason("std::bad_alloc", path, memoryLimit));
    }
}
