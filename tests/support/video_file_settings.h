#pragma once
// The program's settings for a run on a test video: the generated test networks, HTTP control
// on a port of its own, and periods of an hour, so that no aggregation or people count is
// flushed by the clock during a test; only a stop or the end of the video flushes them.

#include <string>

#include "hx_settings.h"
#include "support/http_receiver.h"
#include "support/model_tool.h"

namespace lmtest {

// Every frame is analysed; the video plays again from its start when `loop` is set.
inline hx::Settings videoFileSettings(const std::string& video, bool loop = true) {
    hx::Settings settings;
    settings.neuralNetworksPath = appTestNetworksDir();
    settings.sourceType = hx::Settings::VIDEO_FILE;
    settings.videoFilePath = video;
    settings.loopVideo = loop;
    settings.processAllFrames = true;
    settings.httpInterfacePort = refusedPort();
    settings.aggregationFrequency = 3600;
    settings.peopleCountFrequency = 3600;
    return settings;
}

}  // namespace lmtest
