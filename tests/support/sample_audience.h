#pragma once
// The audience of one closed content item, every field set to a value of its own, for the
// tests of the program's content reports.

#include "hx_format.h"
#include "support/sample_records.h"

namespace lmtest {

inline hx::format::AudienceMetrics sampleMetrics() {
    hx::format::AudienceMetrics m;
    m.timeStart = SAMPLE_TIME;
    m.contentDuration = std::chrono::nanoseconds(12345678901);
    m.instanceName = "hx";
    m.contentId = "c1";
    m.displayId = "d1";
    m.campaignId = "k1";
    m.contentName = "spring sale";
    m.metadata = "season=spring";
    m.ots = 5;
    m.impressions = 3;
    m.viewers = 2;
    m.averageViewingDuration = 1000;
    m.totalViewingDuration = 2000;
    m.averageDwellDuration = 1500;
    m.totalDwellDuration = 4500;
    m.averageDetectionDuration = 3000;
    m.totalDetectionDuration = 15000;
    m.femaleCount = 2;
    m.maleCount = 3;
    m.unknownCount = 9;
    return m;
}

}  // namespace lmtest
