#pragma once
// A settings record for tests of the settings file.

#include "hx_settings.h"

namespace lmtest {

// A record in which every field the file carries differs from its default.
inline hx::Settings sampleSettings() {
    using S = hx::Settings;
    S s;
    s.neuralNetworksPath = "/opt/nets {v}";
    s.logLevel = S::DEBUG;
    s.dnnTarget = S::GPU_MT;
    s.networkType = S::QUANTIZED;
    s.bodyTrackFps = S::FPS_10;
    s.detectionRange = S::LONG;
    s.useAge = false;
    s.useGender = false;
    s.useHeadpose = false;
    s.useSmile = false;
    s.useFaceMask = false;
    s.useEmotions = false;
    s.faceConfidenceThreshold = 0.65f;
    s.maxNumFaces = 7;
    s.numThreads = 3;
    s.sourceType = S::VIDEO_STREAM;
    s.webcamIndex = 2;
    s.videoFilePath = "/v/a.mp4";
    s.videoStreamUrl = "rtsp://cam/{id}";
    s.resolutionWidth = 1280;
    s.resolutionHeight = 720;
    s.loopVideo = true;
    s.processAllFrames = false;
    s.drawResult = false;
    s.blurFaces = true;
    s.peopleCountEnabled = false;
    s.peopleCountFrequency = 60;
    s.instanceName = "hall \"A\"";
    s.aggregationFrequency = 15;
    s.httpInterfacePort = 9443;
    s.httpInterfaceSsl = true;
    s.httpInterfaceSslKey = "k.pem";
    s.httpInterfaceSslCrt = "c.pem";
    s.rawCsvEnabled = true;
    s.rawCsvPath = "/csv/raw";
    s.aggregatedCsvEnabled = true;
    s.aggregatedCsvPath = "/csv/agg";
    s.peopleCountCsvEnabled = true;
    s.peopleCountCsvPath = "/csv/pc";
    s.rawPushEnabled = true;
    s.rawPushUrl = "http://h/raw";
    s.aggregatedPushEnabled = true;
    s.aggregatedPushUrl = "http://h/agg";
    s.peopleCountPushEnabled = true;
    s.peopleCountPushUrl = "http://h/pc";
    s.statusPushEnabled = true;
    s.statusPushUrl = "http://h/status";
    s.statusPullEnabled = false;
    s.rawPullEnabled = true;
    s.aggregatedPullEnabled = true;
    s.peopleCountPullEnabled = true;
    s.flipHorizontally = true;
    s.flipVertically = true;
    s.rotateMode = S::ROTATE_270;
    s.zoomFactor = 2.5f;
    s.zoomCenterOffset_X = 0.25f;
    s.zoomCenterOffset_Y = 0.5f;
    s.ROI_X = 0.1f;
    s.ROI_Y = 0.2f;
    s.ROI_W = 0.5f;
    s.ROI_H = 0.75f;
    s.maxFaceSize = 0.5f;
    s.minFaceSize = 0.125f;
    s.currentStatsEnabled = true;
    s.currentStatsDuration = 60;
    s.tovexEnabled = true;
    s.tovexMode = S::START_DURATION;
    s.tovexCsvEnabled = true;
    s.tovexCsvPath = "/csv/tovex";
    s.tovexPushEnabled = true;
    s.tovexPushUrl = "http://h/tovex";
    return s;
}

}  // namespace lmtest
