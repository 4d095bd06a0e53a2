#pragma once
// Free helper functions of the library, one header per subject: boxes, the frame-rate
// meter, CSV lines, drawing and blurring. This header brings all four.

#include "lumora/lm_help_csv.h"
#include "lumora/lm_help_drawing.h"
#include "lumora/lm_help_fps.h"
#include "lumora/lm_help_rect.h"
