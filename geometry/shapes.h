#pragma once
// Generated meshes: the torus and the value-noise terrain, and the noise functions.

#include "geometry/mesh.h"

struct vyxTexture;

// Hashed lattice value noise with cosine interpolation; result in (-1, 1].
float vyxValueNoise(float x, float y, float z, float cell);
// Eight octaves of value noise: sum * 0.25 + 0.5.
float vyxFractalNoise(float x, float y, float z, float persistence);

// Fills mesh with the 300 x 150-cell torus (90000 triangles) whose main circle has
// radius majorRadius and whose tube has radius minorRadius, its one material and its
// hierarchy. The material's texture is checker as given: geometry cannot look inside a
// texture, so the caller passes null when the checker texture holds no pixels. Does not
// touch the transform.
void vyxMakeTorus(vyxMesh& mesh, vyxTexture* checker, float majorRadius, float minorRadius);

// Fills mesh with the 257 x 257-point noise terrain (131072 triangles), its one
// untextured material (materialCount 1) and its hierarchy. Does not touch the transform.
void vyxBuildTerrainMesh(vyxMesh& mesh);
