#pragma once
// GameState: the interface the main loop drives. It calls Load, then Init with the
// context, then Update and Render once per frame until the running flag is cleared, and
// Unload at the end. The "I" key (Init again) and the "O" key (Unload, then Load) call
// them again through this interface, so a derived state's own versions run for those
// keys too.

#include "app/app_context.h"

class GameState {
public:
    virtual void Init(const AppContext& context) = 0; // bind context, reset camera and presets
    virtual void Load() = 0;                          // load assets, build the scene
    virtual void Unload() = 0;                        // release what Load acquired
    virtual void Update(float frameTime) = 0;         // input, animation clock
    virtual void Render() = 0;                        // trace, post-process, present
    virtual ~GameState() = default;
};
