#include "enhancement_stage.h"

#include <opencv2/imgcodecs.hpp>

#include <iostream>

namespace {

constexpr int whiteBoard = 1;
constexpr int greenBoard = 2;
constexpr int modeColor = 0;
const char* const trueColourFile = "trueColor.jpg";

} // namespace

bool PipelineSettings::operator==(const PipelineSettings& other) const {
    return mode == other.mode && ar == other.ar && arVal == other.arVal &&
           details == other.details && brightness == other.brightness &&
           contrast == other.contrast && boardColor == other.boardColor;
}

bool EnhancementStage::run(const PipelineSettings& settings, PerspectiveStage& warps) {
    const PerspectiveStage::Changes& changes = warps.changes();
    trueColourStale = trueColourStale || changes.colour;
    if (settings.boardColor == greenBoard) {
        writeTrueColour(warps.colourWarp());
    }
    const cv::Mat& live = warps.liveWarp();
    const cv::Mat& detail = warps.detailWarp();
    const cv::Mat& colour = warps.colourWarp();
    // compose is a pure function of the warps and the settings: an unchanged frame
    // keeps its outputs, and a change of the live picture alone redoes only the overlay.
    // Without a colour picture the board picture falls back on the live one.
    const bool boardReadsLive = settings.boardColor != whiteBoard && colour.size() != live.size();
    const bool sameSettings = composed && settings == lastComposed && !boardReadsLive;
    const bool patchBoard =
        sameSettings && changes.board && !changes.boardWhole &&
        enhancer.recomposeBoardRegion(detail, colour, live, changes.boardRegion);
    bool changed = false;
    if (!sameSettings || (changes.board && !patchBoard)) {
        pictures = enhancer.compose(live, detail, settings.mode, settings.ar, settings.arVal,
                                    settings.details, settings.brightness, settings.contrast,
                                    settings.boardColor, colour);
        changed = true;
    } else if (changes.live || patchBoard) {
        pictures = enhancer.recomposeDisplay(live);
        changed = true;
    }
    lastComposed = settings;
    composed = true;
    warps.composed();
    return changed;
}

// The file only changes when the colour picture does; encoding it costs more than
// the rest of a still frame.
void EnhancementStage::writeTrueColour(const cv::Mat& colourWarp) {
    if (!trueColourStale) {
        return;
    }
    if (colourWarp.empty()) {
        std::cout << "no board-colour picture yet, " << trueColourFile << " not written"
                  << std::endl;
        trueColourStale = false;
        return;
    }
    if (cv::imwrite(trueColourFile, colourWarp)) {
        trueColourFailed = false;
    } else if (!trueColourFailed) {
        std::cout << "could not write " << trueColourFile << std::endl;
        trueColourFailed = true;
    }
    trueColourStale = false;
}

cv::Mat EnhancementStage::renderBoard(const cv::Mat& detail, const cv::Mat& colour,
                                      const PipelineSettings& settings) {
    // An enhancer of its own: the live one keeps its buffers for the next frame.
    BoardEnhancer renderer;
    const std::vector<cv::Mat> rendered =
        renderer.compose(colour, detail, modeColor, false, settings.arVal, settings.details,
                         settings.brightness, settings.contrast, settings.boardColor, colour);
    return rendered[0].clone();
}
