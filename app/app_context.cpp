#include "app/app_context.h"

vyxRenderSettings vyxGlobalSettings = vyxDefaultRenderSettings();

void vyxApplyStartupSettings(vyxRenderSettings& settings) {
    settings.fogDensity = 0.0004f;
    settings.fogColour = {0.16f, 0.24f, 0.272f};
    settings.subsampleThreshold = 0.15f;
    settings.reflectionThreshold = 0.05f;
    settings.aaThreshold = 0.5f;
    settings.aoDistance = 20.0f;
}

AppContext vyxHeadlessContext(int32_t width, int32_t height, int32_t* running) {
    AppContext context{};
    context.windowWidth = context.renderWidth = width;
    context.windowHeight = context.renderHeight = height;
    context.lookSensitivity = 0.005f;
    context.moveSpeed = 0.04f;
    context.running = running;
    context.settings = &vyxGlobalSettings;
    vyxApplyStartupSettings(vyxGlobalSettings);
    return context;
}
