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
