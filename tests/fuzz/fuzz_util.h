#pragma once
// Shared by the model harnesses: one input read as a model and its material library,
// entirely in memory.

#include <cstddef>
#include <cstdint>
#include <string>

#include "scenefiles/mtl.h"
#include "scenefiles/obj.h"

// The input split at the first "\n#MTL\n": the part before is the model, the part after
// the text of every library the model names with "mtllib".
inline void fuzzLoadModel(const uint8_t* data, size_t size, vyxObjModel& model) {
    static const std::string marker = "\n#MTL\n";
    const std::string all(reinterpret_cast<const char*>(data), size);
    const size_t at = all.find(marker);
    const std::string text = at == std::string::npos ? all : all.substr(0, at);
    std::string library = at == std::string::npos ? std::string() : all.substr(at + marker.size());
    auto readLibrary = [](vyxObjModel& into, const char* path, const char* folder, void* context) {
        const std::string& bytes = *static_cast<const std::string*>(context);
        vyxLoadMtlFromText(into, bytes.data(), bytes.size(), path, folder);
    };
    vyxLoadObjFromText(text.data(), text.size(), "model.obj", "./", model, readLibrary, &library);
}
