#pragma once
// vyxScene: what the renderers trace: a light list and a mesh list (neither owns its
// entries) and an optional environment cube map.

#include <cstdint>

struct vyxLight;
struct vyxMesh;
struct vyxCubeMap;

struct vyxScene {
    int32_t lightCount;
    int32_t lightCapacity;
    vyxLight** lights;
    int32_t meshCount;
    int32_t meshCapacity;
    vyxMesh** meshes;    // a hit's object index refers to this list
    vyxCubeMap* cubeMap; // null = no environment
};

// Empty lists with capacity 50 each, no cube map.
void vyxSceneInit(vyxScene& scene);
// Appends; when count + 1 reaches the capacity the list grows by 50 first.
void vyxSceneAddLight(vyxScene& scene, vyxLight* light);
void vyxSceneAddMesh(vyxScene& scene, vyxMesh* mesh);
// Frees the two lists (not their entries) and zeroes the record. Safe twice.
void vyxSceneFree(vyxScene& scene);
