#include "geometry/scene.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static const int32_t kListGrowth = 50;

// Stores item at index count, first growing the list by 50 when count + 1 reaches the
// capacity (new zeroed array, old entries copied, old array freed). When memory runs out
// the item is not added and the list stays as it was.
template <typename T>
static void appendPointer(T**& list, int32_t& count, int32_t& capacity, T* item, const char* what) {
    if (!list || count + 1 >= capacity) {
        int32_t newCapacity = (list ? capacity : 0) + kListGrowth;
        while (count + 1 >= newCapacity)
            newCapacity += kListGrowth;
        T** grown = static_cast<T**>(std::calloc(static_cast<size_t>(newCapacity), sizeof(T*)));
        if (!grown) {
            std::fprintf(stderr, "vyx: out of memory growing the scene's %s list\n", what);
            return;
        }
        if (list && count > 0)
            std::memcpy(grown, list, static_cast<size_t>(count) * sizeof(T*));
        std::free(list);
        list = grown;
        capacity = newCapacity;
    }
    list[count] = item;
    ++count;
}

void vyxSceneInit(vyxScene& scene) {
    scene.lightCount = 0;
    scene.lights = static_cast<vyxLight**>(std::calloc(kListGrowth, sizeof(vyxLight*)));
    scene.lightCapacity = scene.lights ? kListGrowth : 0;
    scene.meshCount = 0;
    scene.meshes = static_cast<vyxMesh**>(std::calloc(kListGrowth, sizeof(vyxMesh*)));
    scene.meshCapacity = scene.meshes ? kListGrowth : 0;
    scene.cubeMap = nullptr;
}

void vyxSceneAddLight(vyxScene& scene, vyxLight* light) {
    appendPointer(scene.lights, scene.lightCount, scene.lightCapacity, light, "light");
}

void vyxSceneAddMesh(vyxScene& scene, vyxMesh* mesh) {
    appendPointer(scene.meshes, scene.meshCount, scene.meshCapacity, mesh, "mesh");
}

void vyxSceneFree(vyxScene& scene) {
    std::free(scene.lights);
    std::free(scene.meshes);
    std::memset(&scene, 0, sizeof(scene));
}
