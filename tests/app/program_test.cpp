// The program's start-up path: the first frame time the game state sees covers loading,
// on SDL's running clock (a reading taken before SDL starts its clock is the wall clock
// truncated to 32 bits, billions of milliseconds away).

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "app/game_state.h"
#include "app/program.h"

namespace {

struct RecordingState : GameState {
    std::vector<float> frameTimes;
    int32_t* running = nullptr;
    void Init(const AppContext& context) override { running = context.running; }
    void Load() override { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }
    void Unload() override {}
    void Update(float frameTime) override {
        frameTimes.push_back(frameTime);
        if (frameTimes.size() == 3)
            *running = 0;
    }
    void Render() override {}
};

} // namespace

TEST(Program, FirstFrameTimeCoversLoadingOnly) {
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    RecordingState state;
    EXPECT_EQ(vyxRunProgram(state, 32, 24), 0);
    ASSERT_EQ(state.frameTimes.size(), 3u);
    EXPECT_GE(state.frameTimes[0], 0.09f);
    EXPECT_LT(state.frameTimes[0], 5.0f);
    EXPECT_LT(state.frameTimes[1], 5.0f);
}
