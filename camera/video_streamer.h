#pragma once

#include "calibration_flow.h"
#include "camera_platform.h"
#include "lesson_keeper.h"
#include "live_loop.h"
#include "published_image.h"
#include "share_control.h"
#include "snapshots.h"

#include <QImage>
#include <QObject>
#include <QPointF>
#include <QString>

#include <functional>
#include <string>

// The camera object, the only object of ours that the QML document talks to: its
// properties, signals and slots. The work is done by its parts: the live loop, the
// calibration flow, the snapshots, the lesson keeper and sharing.
class VideoStreamer : public QObject {
    Q_OBJECT
    Q_PROPERTY(int boardColor READ getBoardColor WRITE setBoardColor NOTIFY boardColorChanged)
    Q_PROPERTY(int mode READ getMode WRITE setMode NOTIFY modeChanged)
    Q_PROPERTY(int expMode READ getExpMode WRITE setExpMode NOTIFY expModeChanged)
    Q_PROPERTY(double expVal READ getExpVal WRITE setExpVal NOTIFY expValChanged)
    Q_PROPERTY(double details READ getDetails WRITE setDetails NOTIFY detailsChanged)
    Q_PROPERTY(double brightness READ getBrightness WRITE setBrightness NOTIFY brightnessChanged)
    Q_PROPERTY(double contrast READ getContrast WRITE setContrast NOTIFY contrastChanged)
    Q_PROPERTY(bool ar READ getAr WRITE setAr NOTIFY arChanged)
    Q_PROPERTY(double arVal READ getArVal WRITE setArVal NOTIFY arValChanged)
    Q_PROPERTY(bool openCalibration READ getOpenCalibration WRITE setOpenCalibration NOTIFY
                   openCalibrationChanged)
    Q_PROPERTY(bool autoSave READ getAutoSave WRITE setAutoSave NOTIFY autoSaveChanged)
    Q_PROPERTY(bool share READ getShare WRITE setShare NOTIFY shareChanged)
    Q_PROPERTY(bool shareAllowed READ getShareAllowed NOTIFY shareStateChanged)
    Q_PROPERTY(QString shareUrl READ getShareUrl NOTIFY shareStateChanged)
    Q_PROPERTY(QString shareNote READ getShareNote NOTIFY shareStateChanged)
    Q_PROPERTY(int shareViewers READ getShareViewers NOTIFY shareStateChanged)
    Q_PROPERTY(bool cameraConnected READ getCameraConnected WRITE setCameraConnected NOTIFY
                   cameraConnectedChanged)
    Q_PROPERTY(double p1x READ getP1x WRITE setP1x NOTIFY p1Changed)
    Q_PROPERTY(double p1y READ getP1y WRITE setP1y NOTIFY p1Changed)
    Q_PROPERTY(double p2x READ getP2x WRITE setP2x NOTIFY p2Changed)
    Q_PROPERTY(double p2y READ getP2y WRITE setP2y NOTIFY p2Changed)
    Q_PROPERTY(double p3x READ getP3x WRITE setP3x NOTIFY p3Changed)
    Q_PROPERTY(double p3y READ getP3y WRITE setP3y NOTIFY p3Changed)
    Q_PROPERTY(double p4x READ getP4x WRITE setP4x NOTIFY p4Changed)
    Q_PROPERTY(double p4y READ getP4y WRITE setP4y NOTIFY p4Changed)

public:
    explicit VideoStreamer(CameraPlatformFactory makePlatform = makeCameraPlatform);
    ~VideoStreamer() override;
    VideoStreamer(const VideoStreamer&) = delete;
    VideoStreamer& operator=(const VideoStreamer&) = delete;

    int getBoardColor() const { return boardColor; }
    int getMode() const { return mode; }
    int getExpMode() const { return expMode; }
    double getExpVal() const { return expVal; }
    double getDetails() const { return details; }
    double getBrightness() const { return brightness; }
    double getContrast() const { return contrast; }
    bool getAr() const { return ar; }
    double getArVal() const { return arVal; }
    bool getOpenCalibration() const { return live.calibrating(); }
    bool getAutoSave() const { return autoSave; }
    bool getCameraConnected() const { return cameraConnected; }
    bool getShare() const { return shareControl.on(); }
    bool getShareAllowed() const { return shareControl.allowed(); }
    QString getShareUrl() const { return shareControl.url(); }
    QString getShareNote() const { return shareControl.note(); }
    int getShareViewers() const { return shareControl.viewers(); }
    double getP1x() const { return calibration.corner(0); }
    double getP1y() const { return calibration.corner(1); }
    double getP2x() const { return calibration.corner(2); }
    double getP2y() const { return calibration.corner(3); }
    double getP3x() const { return calibration.corner(4); }
    double getP3y() const { return calibration.corner(5); }
    double getP4x() const { return calibration.corner(6); }
    double getP4y() const { return calibration.corner(7); }

    void setBoardColor(int value);
    void setMode(int value);
    void setExpMode(int value);
    void setExpVal(double value);
    void setDetails(double value);
    void setBrightness(double value);
    void setContrast(double value);
    void setAr(bool value);
    void setArVal(double value);
    void setOpenCalibration(bool value);
    void setAutoSave(bool value);
    void setCameraConnected(bool value);
    void setShare(bool value);
    // Before the first setShare: the command line's and the environment's word.
    void setShareOptions(const ShareOptions& options);
    void setP1x(double value);
    void setP1y(double value);
    void setP2x(double value);
    void setP2y(double value);
    void setP3x(double value);
    void setP3y(double value);
    void setP4x(double value);
    void setP4y(double value);

    Q_INVOKABLE QPointF cursorPos() const;
    // The dialogue starts a new set of four corners: the next p4y write calibrates even
    // when it equals the last one.
    Q_INVOKABLE void beginCorners();

    // Runs instead of ending the process when the camera thread is stuck in a device
    // call at destruction (tests live on).
    void setWhenCameraStuck(std::function<void()> instead) {
        live.setWhenCameraStuck(std::move(instead));
    }

    // Read-only views for tests and tools.
    int currentCameraIndex() const { return live.cameraIndex(); }
    const std::string& snapshotDirectory() const { return snapshots.folder(); }
    const FrameProcessor& pipeline() const { return live.pipeline(); }
    DecodePlan decodePlan() const { return live.decodePlan(); }
    const BoardCalibrator& boardCalibrator() const { return calibration.calibrator(); }
    LessonPdf& lesson() { return keeper.lesson(); }
    BoardShare& sharing() { return shareControl.boardShare(); }

signals:
    void newImage(QImage& image);
    void imageForCalibration(QImage& image);
    void boardColorChanged();
    void modeChanged();
    void detailsChanged();
    void brightnessChanged();
    void contrastChanged();
    void arChanged();
    void arValChanged();
    void expModeChanged();
    void expValChanged();
    void openCalibrationChanged();
    void autoSaveChanged();
    // The board kept before an erasure was written (true) or could not be (false).
    void boardAutoSaved(bool saved);
    void cameraConnectedChanged();
    void shareChanged();
    // The address, its note or the viewer count changed.
    void shareStateChanged();
    // The QR code of the share address (a null image when not shared).
    void shareQr(QImage& image);
    void calibImgAvailableChanged();
    void p1Changed();
    void p2Changed();
    void p3Changed();
    void p4Changed();
    // After every board-corner calibration: false when it was refused or not saved, with
    // the text the dialogue shows (empty on success).
    void calibrationFinished(bool ok, QString reason);

public slots:
    void openVideoCamera(QString path);
    // True only when a snapshot file was written.
    bool saveImage();

private:
    void onConnection(bool connected, int index);
    void onCameraEvents();
    void onFrameFinished();
    void applyExposure();
    void updateProcessorSettings();
    void writeStartBanner();
    void followErasures();
    void publishShareQr();

    CalibrationFlow calibration;
    LiveLoop live;
    int boardColor = 0;
    int mode = 0;
    int expMode = 0;
    double expVal = 0.0;
    double details = 4.0;
    double brightness = -81.0;
    double contrast = 70.0;
    bool ar = true;
    double arVal = 0.5;
    bool autoSave = true;
    bool cameraConnected = true;
    Snapshots snapshots;
    LessonKeeper keeper;
    ShareControl shareControl;
};
