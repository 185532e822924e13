#include "scenefiles/import_stream.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "scenefiles/text.h"

// Texts and names longer than this are cut; the helper has no reason to send more.
static const uint32_t kMaxName = 4096;

namespace {

// Reads little-endian values from a byte range; any read past the end fails and leaves
// the reader failed, so a record is checked once at its end.
struct Reader {
    const uint8_t* at;
    const uint8_t* end;
    bool ok = true;

    size_t left() const { return static_cast<size_t>(end - at); }
    bool take(void* out, size_t count) {
        if (!ok || count > left()) {
            ok = false;
            return false;
        }
        if (count > 0)
            std::memcpy(out, at, count);
        at += count;
        return true;
    }
    uint32_t u32() {
        uint8_t b[4] = {0, 0, 0, 0};
        take(b, 4);
        return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
               static_cast<uint32_t>(b[3]) << 24;
    }
    uint64_t u64() {
        uint64_t low = u32();
        return low | static_cast<uint64_t>(u32()) << 32;
    }
    float f32() {
        uint32_t bits = u32();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    // A length-prefixed text of at most kMaxName bytes.
    std::string text() {
        uint32_t length = u32();
        if (length > kMaxName || length > left()) {
            ok = false;
            return std::string();
        }
        std::string out(reinterpret_cast<const char*>(at), length);
        at += length;
        return out;
    }
    std::string rest() {
        std::string out(reinterpret_cast<const char*>(at), left());
        at = end;
        return out;
    }
};

// Texts the program prints are cut to one line of this many bytes: the library's
// reasons can run to hundreds of kilobytes.
const size_t kMaxLine = 300;

// The first line of text, cut at kMaxLine bytes ("..." marks a cut), other control
// characters made spaces.
std::string oneLine(std::string text) {
    size_t end = text.find_first_of("\r\n");
    if (end != std::string::npos)
        text.resize(end);
    if (text.size() > kMaxLine)
        text = text.substr(0, kMaxLine) + "...";
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return text;
}

bool finite3(const float* v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// The library material the mesh builder maps, from what the helper sent.
vyxMtlMaterial libraryMaterial(const vyxImportedMaterial& in, const std::string& folder) {
    vyxMtlMaterial out;
    const float* emission = in.emission;
    const bool emits = finite3(emission) && (emission[0] > 0 || emission[1] > 0 || emission[2] > 0);
    const bool dark = !(in.baseColour[0] > 0 || in.baseColour[1] > 0 || in.baseColour[2] > 0);
    const bool textured = in.texture >= 0 || !in.texturePath.empty();
    const bool onlyEmits = emits && dark && !textured;
    const float* colour = onlyEmits ? emission : in.baseColour;
    for (int k = 0; k < 3; ++k)
        out.kd[k] = std::isfinite(colour[k]) ? std::fmin(std::fmax(colour[k], 0.0f), 1000.0f) : 0.8f;
    out.lit = onlyEmits ? 0 : 1;
    float alpha = std::isfinite(in.baseColour[3]) ? std::fmin(std::fmax(in.baseColour[3], 0.0f), 1.0f) : 1.0f;
    if (in.alphaMode == ImportOpaque)
        alpha = 1.0f;
    else if (in.alphaMode == ImportMask)
        alpha = alpha >= in.alphaCutoff ? 1.0f : 0.0f;
    out.dissolve = alpha;
    out.name = in.name;
    out.folder = folder;
    if (textured) {
        out.hasMapKd = 1;
        out.mapKd = in.texture >= 0 ? "*" + std::to_string(in.texture) : in.texturePath;
    }
    return out;
}

struct Decoder {
    vyxImportedModel& model;
    std::string folder;
    uint64_t maxTriangles;
    uint64_t triangles = 0;
    std::string error;

    bool fail(const std::string& why) {
        if (error.empty())
            error = why;
        return false;
    }

    bool material(Reader& r) {
        vyxImportedMaterial m;
        for (float& c : m.baseColour)
            c = r.f32();
        for (float& c : m.emission)
            c = r.f32();
        m.alphaMode = r.u32();
        m.alphaCutoff = r.f32();
        m.tintsTexture = r.u32();
        m.texture = static_cast<int32_t>(r.u32());
        m.name = r.text();
        m.texturePath = r.text();
        if (!r.ok || r.left() != 0)
            return fail("a material record of the wrong length");
        if (m.alphaMode > ImportBlend || m.tintsTexture > 1)
            return fail("a material with an unknown alpha mode or tint");
        if (!std::isfinite(m.alphaCutoff))
            m.alphaCutoff = 0.5f;
        if (m.texture < -1 || m.texture >= static_cast<int64_t>(model.textures.size()))
            return fail("a material naming a texture that was not sent");
        model.model.materials.push_back(libraryMaterial(m, folder));
        model.materials.push_back(std::move(m));
        return true;
    }

    bool mesh(Reader& r) {
        const uint32_t materialIndex = r.u32();
        const uint64_t vertexCount = r.u32();
        const uint64_t triangleCount = r.u32();
        const uint32_t flags = r.u32();
        std::string name = r.text();
        if (!r.ok)
            return fail("a mesh record cut short");
        if (materialIndex >= model.materials.size())
            return fail("a mesh naming a material that was not sent");
        if (flags & ~static_cast<uint32_t>(ImportHasNormals | ImportHasTexcoords))
            return fail("a mesh with unknown flags");
        const bool normals = flags & ImportHasNormals, texcoords = flags & ImportHasTexcoords;
        // Counts are at most 2^32 and floats 4 bytes: no product below overflows.
        const uint64_t expected = 4 * (vertexCount * (3 + (normals ? 3 : 0) + (texcoords ? 2 : 0)) + 3 * triangleCount);
        if (expected != r.left())
            return fail("a mesh record whose counts do not match its length");
        triangles += triangleCount;
        if (triangles > maxTriangles)
            return fail("more than " + std::to_string(maxTriangles) + " triangles");
        // Every vertex index of the model must fit the reader's 32-bit signed indices.
        const uint64_t first = model.model.positions.size() / 3;
        if (first + vertexCount > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
            return fail("more vertices than a mesh can index");

        std::vector<float>& positions = model.model.positions;
        positions.resize(positions.size() + 3 * vertexCount);
        r.take(positions.data() + 3 * first, 12 * vertexCount);
        // Normals and texture coordinates go to lists of their own: corners of a mesh
        // without them (or with an unusable normal) get index -1.
        const uint64_t normalFirst = model.model.normals.size() / 3;
        const uint64_t texcoordFirst = model.model.texcoords.size() / 3;
        std::vector<uint8_t> normalUsable;
        if (normals) {
            std::vector<float>& list = model.model.normals;
            list.resize(list.size() + 3 * vertexCount);
            r.take(list.data() + 3 * normalFirst, 12 * vertexCount);
            normalUsable.resize(vertexCount);
            for (uint64_t v = 0; v < vertexCount; ++v) {
                const float* n = &list[3 * (normalFirst + v)];
                normalUsable[v] = finite3(n) && (n[0] != 0 || n[1] != 0 || n[2] != 0);
            }
        }
        if (texcoords) {
            std::vector<float>& list = model.model.texcoords;
            list.resize(list.size() + 3 * vertexCount);
            for (uint64_t v = 0; v < vertexCount; ++v) {
                list[3 * (texcoordFirst + v)] = r.f32();
                list[3 * (texcoordFirst + v) + 1] = r.f32();
            }
        }

        vyxObjGroup group;
        group.name = oneLine(name);
        group.material = static_cast<int32_t>(materialIndex);
        group.faces.reserve(triangleCount);
        for (uint64_t t = 0; t < triangleCount; ++t) {
            vyxObjFace face;
            face.material = static_cast<int32_t>(materialIndex);
            for (int c = 0; c < 3; ++c) {
                const uint64_t index = r.u32();
                if (index >= vertexCount)
                    return fail("a triangle naming a vertex outside its mesh");
                face.position[c] = static_cast<int32_t>(first + index);
                face.normal[c] = normals && normalUsable[index] ? static_cast<int32_t>(normalFirst + index) : -1;
                face.texcoord[c] = texcoords ? static_cast<int32_t>(texcoordFirst + index) : -1;
            }
            group.faces.push_back(face);
        }
        if (!r.ok)
            return fail("a mesh record cut short");
        model.model.groups.push_back(std::move(group));
        return true;
    }

    bool texture(Reader& r) {
        vyxImportedTexture t;
        t.hint = r.text();
        t.name = r.text();
        if (!r.ok || t.hint.size() > 16)
            return fail("a texture record with a malformed header");
        t.bytes = r.rest();
        model.textures.push_back(std::move(t));
        return true;
    }

    bool end(Reader& r) {
        model.pointsSkipped = r.u64();
        model.linesSkipped = r.u64();
        if (!r.ok || r.left() != 0)
            return fail("an end record of the wrong length");
        return true;
    }
};

} // namespace

bool vyxDecodeImportStream(const uint8_t* bytes, size_t size, const char* folder, uint64_t maxTriangles,
                           vyxImportedModel& model, std::string& error) {
    error.clear();
    Decoder decoder{model, vyxFolderPrefix(folder), maxTriangles, 0, std::string()};
    Reader stream{bytes, bytes + (bytes ? size : 0), true};
    char magic[sizeof vyxImportMagic];
    if (!stream.take(magic, sizeof magic) || std::memcmp(magic, vyxImportMagic, sizeof magic) != 0) {
        error = size == 0 ? "no data" : "data that does not start as the import stream does";
        return false;
    }
    bool ended = false;
    while (stream.left() > 0 && decoder.error.empty()) {
        if (ended) {
            decoder.fail("data after the end record");
            break;
        }
        const uint32_t tag = stream.u32();
        const uint64_t length = stream.u64();
        if (!stream.ok || length > stream.left()) {
            decoder.fail("a record running past the end of the data");
            break;
        }
        Reader record{stream.at, stream.at + length, true};
        stream.at += length;
        switch (tag) {
        case ImportNote:
            model.notes.push_back(oneLine(record.rest()));
            break;
        case ImportFail:
            model.failure = oneLine(record.rest());
            if (model.failure.empty())
                model.failure = "no reason given";
            break;
        case ImportTexture:
            decoder.texture(record);
            break;
        case ImportMaterial:
            decoder.material(record);
            break;
        case ImportMesh:
            decoder.mesh(record);
            break;
        case ImportEnd:
            ended = decoder.end(record);
            break;
        default:
            decoder.fail("a record of unknown kind");
        }
    }
    if (decoder.error.empty() && !ended && model.failure.empty())
        decoder.fail("data cut short (no end record)");
    error = decoder.error;
    return error.empty();
}
