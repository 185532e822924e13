#include "app/model_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "app/image.h"
#include "scenefiles/import_stream.h"
#include "scenefiles/model_format.h"
#include "scenefiles/text.h"
#include "util/escape.h"
#include "util/file.h"
#include "util/file_bundle.h"

static uint8_t scaled(uint8_t value, float factor) {
    float v = static_cast<float>(value) * (std::isfinite(factor) ? std::fmin(std::fmax(factor, 0.0f), 1.0f) : 1.0f);
    return static_cast<uint8_t>(v + 0.5f);
}

// The material's base colour multiplies the texels (its alpha always, its colour when
// it tints the texture), and its alpha mode decides what their alpha becomes: 255 when
// opaque, 0 or 255 by the cut-off for a cut-out.
static void bakeMaterial(vyxTexture& texture, const vyxImportedMaterial& material) {
    uint8_t* texel = static_cast<uint8_t*>(texture.data);
    const size_t count = static_cast<size_t>(texture.width) * static_cast<size_t>(texture.height);
    const float* base = material.baseColour;
    for (size_t i = 0; i < count; ++i, texel += 4) {
        for (int c = 0; c < 3 && material.tintsTexture; ++c)
            texel[c] = scaled(texel[c], base[c]);
        const uint8_t alpha = scaled(texel[3], base[3]);
        if (material.alphaMode == ImportOpaque)
            texel[3] = 255;
        else if (material.alphaMode == ImportMask)
            texel[3] = static_cast<float>(alpha) >= material.alphaCutoff * 255.0f ? 255 : 0;
        else
            texel[3] = alpha;
    }
}

// The image of an imported material (embedded, or a file beside the model) into a new
// texture; null when it has none or it cannot be loaded (reported).
static vyxTexture* loadTexture(const vyxImportedModel& model, const vyxImportedMaterial& material, const char* path,
                               const std::string& folder, const std::string& confinedTo) {
    vyxTexture texture;
    bool loaded = false;
    if (material.texture >= 0) {
        const vyxImportedTexture& image = model.textures[static_cast<size_t>(material.texture)];
        const std::string name = std::string(path) + ": embedded image " +
                                 (image.name.empty() ? "*" + std::to_string(material.texture) : image.name);
        loaded = vyxDecodeImageTexture(image.bytes, image.hint.c_str(), name.c_str(), texture, FilterBilinear);
    } else if (!material.texturePath.empty()) {
        const std::string found = vyxFindPath(folder, material.texturePath, confinedTo);
        loaded = !found.empty() && vyxLoadImageTexture(found.c_str(), texture, FilterBilinear);
    }
    if (!loaded)
        return nullptr;
    bakeMaterial(texture, material);
    return new vyxTexture(texture);
}

// "3 points", "1 line"; "" for none.
static std::string counted(uint64_t count, const char* what) {
    if (count == 0)
        return std::string();
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// What the helper sends for the model at path, or, while a file bundle replays, what it
// sent the process that recorded the bundle. False with why when the helper failed.
static bool importStream(const char* path, const vyxImportHelperRun& run, std::string& stream, std::string& why) {
    vyxBundleEntry entry;
    if (vyxBundleLookup(BundleImport, path, entry)) {
        if (!entry.ok)
            why = entry.bytes;
        else
            stream = std::move(entry.bytes);
        return entry.ok;
    }
    const bool ran = vyxRunImportHelper(run, path, stream, why);
    if (vyxBundleRecording()) {
        entry.ok = ran;
        entry.bytes = ran ? stream : why;
        vyxBundleRecord(BundleImport, path, entry);
    }
    return ran;
}

// The model read by the helper. False with why when the helper failed or sent nonsense.
static bool importModel(const char* path, const vyxImportHelperRun& run, vyxMesh& mesh, std::string& why) {
    std::string stream;
    if (!importStream(path, run, stream, why))
        return false;
    vyxImportedModel imported;
    const std::string folder = vyxFolderOf(path);
    std::string error;
    const bool decoded = vyxDecodeImportStream(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(),
                                               folder.c_str(), run.maxTriangles, imported, error);
    std::string().swap(stream);
    if (!decoded) {
        why = "the importer sent malformed data (" + error + ")";
        return false;
    }
    if (!imported.failure.empty()) {
        why = imported.failure;
        return false;
    }
    for (const std::string& note : imported.notes)
        std::fprintf(stderr, "vyx: %s: %s\n", vyxEscapeText(path).c_str(), vyxEscapeText(note).c_str());
    std::string skipped = counted(imported.pointsSkipped, "point");
    const std::string lines = counted(imported.linesSkipped, "line");
    skipped += !skipped.empty() && !lines.empty() ? " and " + lines : lines;
    if (!skipped.empty())
        std::fprintf(stderr, "vyx: %s: %s skipped (only triangles are drawn)\n", vyxEscapeText(path).c_str(),
                     skipped.c_str());

    vyxBuildMeshFromObj(std::move(imported.model), path, mesh);
    // The first materials of the mesh are the model's, in order; their textures are
    // loaded here, so no file name is left for the caller to load.
    const size_t count = std::min(imported.materials.size(), static_cast<size_t>(mesh.materialCount));
    for (size_t m = 0; m < count && mesh.materials; ++m) {
        vyxMaterial& material = mesh.materials[m];
        if (material.textureFile)
            material.texture = loadTexture(imported, imported.materials[m], path, folder, run.confine ? folder : "");
        vyxFreeMaterial(material);
    }
    return true;
}

bool vyxLoadModelFile(const char* path, const vyxImportHelperRun& run, vyxMesh& mesh, std::string& why) {
    std::memset(&mesh, 0, sizeof(mesh));
    vyxTransformIdentity(mesh.transform);
    why.clear();
    const std::string problem = vyxFileProblem(path);
    if (!problem.empty()) {
        why = problem.compare(0, 3, "is ") == 0 ? "it " + problem : problem;
        return false;
    }
    const std::string head = vyxReadFileHead(path, vyxModelHeadBytes);
    const char* what = nullptr;
    switch (vyxDetectModelKind(head.data(), head.size(), path, &what)) {
    case ModelNotModel:
        why = std::string("it is ") + what + ", not a model";
        return false;
    case ModelObj:
        if (vyxLoadMeshFromObj(path, mesh, run.confine))
            return true;
        vyxFreeMesh(mesh);
        why = "the file cannot be opened";
        return false;
    case ModelImported:
        break;
    }
    if (importModel(path, run, mesh, why))
        return true;
    vyxFreeMesh(mesh);
    return false;
}
