#pragma once

#include "camera_session.h"
#include "frame_handoff.h"
#include "frame_processor.h"
#include "jpeg_frame.h"
#include "loop_stats.h"

#include <QImage>

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The picture shown whenever there is no camera picture.
extern QImage placeholderImage;
// The picture shown while the camera is attached but sends no good frame.
extern QImage noPicturePlaceholderImage;

// The live loop on the GUI thread: the camera thread's events and frames, the decode
// plan it is sent, each frame through the pipeline in steps, and the pictures shown.
class LiveLoop {
public:
    // What the loop needs of the camera object.
    struct Hooks {
        // Runs `step` in a later turn of the GUI thread's event loop.
        std::function<void(std::function<void()> step)> later;
        // Called on the camera thread: the GUI thread is to call onCameraEvents() soon.
        std::function<void()> wake;
        // A live picture, or a placeholder outside calibration.
        std::function<void(QImage& picture)> showLive;
        // The dialogue's picture, or a placeholder while calibrating.
        std::function<void(QImage& picture)> showCalibration;
        // The dialogue's picture made of a frame's pixels.
        std::function<QImage(const cv::Mat& pixels)> calibrationPicture;
        // The camera thread's word on the connection; index -1 when no camera is open.
        std::function<void(bool connected, int index)> connection;
        // A frame's pictures are finished, before the live one is shown.
        std::function<void()> frameFinished;
    };

    explicit LiveLoop(Hooks hooks);
    ~LiveLoop();
    LiveLoop(const LiveLoop&) = delete;
    LiveLoop& operator=(const LiveLoop&) = delete;

    // Draws the placeholders.
    void createPlaceholderImages();
    // Starts the camera thread.
    void start(CameraPlatformFactory makePlatform);
    // Stops it; a thread stuck in a device call is left behind and `whenCameraStuck` runs.
    void stop() { cameraThread.reset(); }
    void setWhenCameraStuck(std::function<void()> instead) { whenCameraStuck = std::move(instead); }

    // While calibrating, the first good frame of each opening becomes the dialogue's
    // picture and the live picture stands still.
    bool calibrating() const { return calibrationOn; }
    void setCalibrating(bool on);
    void setBoardColor(int color);
    // After a calibration: the pipeline rebuilds its canvases.
    void rebuild();
    // Also rebuilds: the board looks different.
    void setExposure(bool manual, double value);
    // A video file or URL instead of the camera.
    void openSource(const std::string& source) { handoff->requestSource(source); }

    FrameProcessor& pipeline() { return processor; }
    const FrameProcessor& pipeline() const { return processor; }
    int cameraIndex() const { return currentIndex; }
    DecodePlan decodePlan() const { return handoff->decodePlan(); }
    // The last shown live picture, and the pipeline's clean board picture of the last frame.
    const cv::Mat& shownPicture() const { return displayFrame; }
    const cv::Mat& boardPicture() const { return snapshotFrame; }
    // Takes what the camera thread handed over since the last call.
    void onCameraEvents();

private:
    void onConnection(const CameraEvent& event);
    void onFrame(CameraFrame& frame);
    bool hasWholePixels(const CameraFrame& frame);
    void publishPlaceholder(const QImage& placeholder);
    void updateDecodePlan();
    void publishCalibrationPicture(CameraFrame& frame);
    void publishLivePicture(CameraFrame& frame);
    void continueLivePicture();
    const cv::Mat* decodeWholeFrame(cv::Size size);
    void publishOutputs(const std::vector<cv::Mat>& outputs);
    bool frameAwaitsPublishing() const { return !framePixels.empty(); }

    Hooks hooks;
    FrameProcessor processor;
    int currentIndex = -1;
    bool calibrationOn = false;
    int calibFrameCount = 0;
    cv::Mat placeholderFrame;
    cv::Mat noPictureFrame;
    // The last shown live picture; published pictures are never refilled in place.
    cv::Mat displayFrame;
    // One shown, one held by the view while it uploads, one being filled.
    PictureRing displayBuffers{3};
    // The pipeline's clean board picture of the last frame (its own buffer).
    cv::Mat snapshotFrame;
    bool liveShown = false;
    cv::Size frameSize;
    std::uint64_t lastSequence = 0;
    // A frame goes through the pipeline in steps with the event loop running between
    // them; its pixels are kept here until its picture is published, and camera events
    // wait their turn.
    cv::Mat framePixels;
    bool eventsWaiting = false;
    // A frame decoded at half size keeps its JPEG until it is published, in case the
    // pipeline needs the whole frame after all; it is then decoded here.
    cv::Mat frameEncoded;
    cv::Mat wholeFrame;
    JpegDecoder wholeFrameDecoder{cameraDecodeOptions};
    QImage publishedImage;
    std::unique_ptr<LoopStats> stats;
    std::function<void()> whenCameraStuck;
    std::shared_ptr<FrameHandoff> handoff;
    // Last: stopped first, before anything the wake-ups could reach.
    std::unique_ptr<CameraThread> cameraThread;
};
