#include "scenefiles/mtl.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "scenefiles/obj.h"

vyxMaterial vyxDefaultMaterial() {
    vyxMaterial material;
    material.color[0] = 0.8f;
    material.color[1] = 0.8f;
    material.color[2] = 0.8f;
    material.alpha = 1.0f;
    material.texture = nullptr;
    material.textureFile = nullptr;
    material.specular = 0.0f;
    material.reflectivity = 0.0f;
    material.tintedReflectivity = 0.0f;
    material.fresnel = 0.0f;
    material.unlit = 0;
    material.castsShadows = 1;
    return material;
}

vyxMaterial vyxMaterialFromMtl(const vyxMtlMaterial& mtl) {
    vyxMaterial material = vyxDefaultMaterial();
    material.color[0] = mtl.kd[0];
    material.color[1] = mtl.kd[1];
    material.color[2] = mtl.kd[2];
    material.alpha = mtl.dissolve;
    if (mtl.hasMapKd) {
        // A failed allocation leaves the material without a texture, as a missing image would.
        material.textureFile = static_cast<char*>(std::malloc(mtl.mapKd.size() + 1));
        if (material.textureFile) {
            std::memcpy(material.textureFile, mtl.mapKd.c_str(), mtl.mapKd.size() + 1);
        }
    }
    material.specular = std::sqrt(mtl.ks[0] * mtl.ks[0] + mtl.ks[1] * mtl.ks[1] + mtl.ks[2] * mtl.ks[2]);
    material.reflectivity = mtl.reflectivity;
    material.fresnel = mtl.ft;
    material.unlit = mtl.lit == 0 ? 1 : 0;
    return material;
}

void vyxReleaseMaterial(vyxMaterial& material) {
    std::free(material.textureFile);
    material.textureFile = nullptr;
}

// The next number of the line. present is false at the end of the line; usable is
// false there and for a number that is not finite, which the shading could not use (a
// NaN opacity would turn every shadow through the surface into NaN).
static float nextFloat(int& position, const std::string& line, bool& present, bool& usable) {
    std::string token;
    position = vyxNextToken(position, line, token);
    present = position >= 0;
    float value = present ? std::strtof(token.c_str(), nullptr) : 0.0f;
    usable = present && std::isfinite(value);
    return usable ? value : 0.0f;
}

// "Kd r [g b]": a colour given by one number is grey, as the MTL format defines it. A
// line without numbers, or with one that is not finite, changes nothing.
static void readColor(int position, const std::string& line, float color[3]) {
    bool present = false, usable = false;
    float r = nextFloat(position, line, present, usable);
    if (!usable)
        return;
    float g = nextFloat(position, line, present, usable);
    bool hasG = present;
    if (hasG && !usable)
        return;
    float b = hasG ? nextFloat(position, line, present, usable) : r;
    if (hasG && present && !usable)
        return;
    color[0] = r;
    color[1] = hasG ? g : r;
    color[2] = hasG ? b : r;
}

void vyxLoadMtl(vyxObjModel& model, const char* path) {
    FILE* file = path ? std::fopen(path, "r") : nullptr;
    if (!file) {
        std::fputs("Unable to open file.\n", stdout);
        return;
    }
    std::printf("Opened file %s\n", path);

    // Properties before the first "newmtl" of this library belong to no material.
    vyxMtlMaterial* current = nullptr;
    std::string line;
    std::string keyword;
    std::string token;
    bool present = false;
    while (vyxReadLine(file, line)) {
        int position = vyxNextToken(0, line, keyword);
        if (position < 0) {
            continue;
        }
        if (keyword == "newmtl") {
            model.materials.emplace_back();
            current = &model.materials.back();
            token.clear();
            vyxNextToken(position, line, token);
            current->name = token;
            continue;
        }
        if (!current) {
            continue;
        }
        if (keyword == "Kd") {
            readColor(position, line, current->kd);
        } else if (keyword == "Ka") {
            readColor(position, line, current->ka);
        } else if (keyword == "Ks") {
            readColor(position, line, current->ks);
        } else if (keyword == "Ke") {
            readColor(position, line, current->ke);
        } else if (keyword == "Ft" || keyword == "d") {
            bool usable = false;
            float value = nextFloat(position, line, present, usable);
            if (usable && keyword == "Ft") {
                current->ft = value;
            } else if (usable) {
                // An opacity outside [0, 1] would add negative light behind the surface.
                current->dissolve = value < 0.0f ? 0.0f : (value > 1.0f ? 1.0f : value);
            }
        } else if (keyword == "illum") {
            token.clear();
            if (vyxNextToken(position, line, token) < 0) {
                continue;
            }
            double illum = std::strtod(token.c_str(), nullptr);
            if (illum == 3.0) {
                current->reflectivity = (current->ks[1] + current->ks[0] + current->ks[2]) / 3.0f;
            } else if (illum != 0.0) {
                current->reflectivity = 0.0f;
            } else {
                current->lit = 0;
            }
        } else if (keyword == "map_Kd" || keyword == "map_Ka") {
            token.clear();
            if (vyxNextToken(position, line, token) < 0) {
                continue;
            }
            if (keyword == "map_Kd") {
                current->hasMapKd = 1;
                current->mapKd = token;
            } else {
                current->hasMapKa = 1;
                current->mapKa = token;
            }
        }
    }
    if (std::ferror(file)) {
        std::fprintf(stderr, "vyx: error reading %s\n", path);
    }
    std::fclose(file);
}
