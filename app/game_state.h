#pragma once
// GameState: the interface the main loop drives. Slot order matters to callers that
// re-enter through the virtual table (the "I" and "O" keys).

#include "app/app_context.h"

class GameState {
public:
    virtual void Init(const AppContext& context) = 0; // slot 0: bind context, reset camera and presets
    virtual void Load() = 0;                          // slot 1: load assets, build the scene
    virtual void Unload() = 0;                        // slot 2: release what Load acquired
    virtual void Update(float frameTime) = 0;         // slot 3: input, animation clock
    virtual void Render() = 0;                        // slot 4: trace, post-process, present
    virtual ~GameState() = default;
};
