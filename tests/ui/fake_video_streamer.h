#pragma once

#include <QObject>
#include <QPointF>
#include <QString>
#include <QVariant>
#include <QVector>

#include <utility>

// Stands in for the camera object: the same QML-visible properties, signals and
// slots, but every property write is recorded in order (also writes of the value
// already held), so a test can check exactly what the document sends and when.
class FakeVideoStreamer : public QObject {
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
    using Write = std::pair<QString, QVariant>;

    // What the document wrote, in order.
    QVector<Write> writes;
    // Test controls.
    bool connected = true;
    bool saveResult = true;
    int saveCalls = 0;
    QPointF cursor;
    // What a p4y write that calibrates answers on calibrationFinished: the real object
    // calibrates when p4y changes or at the first write after beginCorners().
    bool calibrationResult = true;
    bool shareAllowed = true;
    QString shareUrl = "http://127.0.0.1:8080/?key=0123456789abcdef0123456789abcdef";
    QString calibrationReason;
    int calibrations = 0;

    int getBoardColor() const { return boardColor; }
    int getMode() const { return mode; }
    int getExpMode() const { return expMode; }
    double getExpVal() const { return expVal; }
    double getDetails() const { return details; }
    double getBrightness() const { return brightness; }
    double getContrast() const { return contrast; }
    bool getAr() const { return ar; }
    double getArVal() const { return arVal; }
    bool getOpenCalibration() const { return openCalibration; }
    bool getAutoSave() const { return autoSave; }
    bool getCameraConnected() const { return connected; }
    bool getShare() const { return share; }
    bool getShareAllowed() const { return shareAllowed; }
    QString getShareUrl() const { return share ? shareUrl : QString(); }
    QString getShareNote() const { return QString(); }
    int getShareViewers() const { return share ? 3 : 0; }
    double getP1x() const { return p[0]; }
    double getP1y() const { return p[1]; }
    double getP2x() const { return p[2]; }
    double getP2y() const { return p[3]; }
    double getP3x() const { return p[4]; }
    double getP3y() const { return p[5]; }
    double getP4x() const { return p[6]; }
    double getP4y() const { return p[7]; }

    void setBoardColor(int v) {
        store("boardColor", boardColor, v, &FakeVideoStreamer::boardColorChanged);
    }
    void setMode(int v) { store("mode", mode, v, &FakeVideoStreamer::modeChanged); }
    void setExpMode(int v) { store("expMode", expMode, v, &FakeVideoStreamer::expModeChanged); }
    void setExpVal(double v) { store("expVal", expVal, v, &FakeVideoStreamer::expValChanged); }
    void setDetails(double v) { store("details", details, v, &FakeVideoStreamer::detailsChanged); }
    void setBrightness(double v) {
        store("brightness", brightness, v, &FakeVideoStreamer::brightnessChanged);
    }
    void setContrast(double v) {
        store("contrast", contrast, v, &FakeVideoStreamer::contrastChanged);
    }
    void setAr(bool v) { store("ar", ar, v, &FakeVideoStreamer::arChanged); }
    void setArVal(double v) { store("arVal", arVal, v, &FakeVideoStreamer::arValChanged); }
    void setOpenCalibration(bool v) {
        store("openCalibration", openCalibration, v, &FakeVideoStreamer::openCalibrationChanged);
    }
    void setAutoSave(bool v) {
        store("autoSave", autoSave, v, &FakeVideoStreamer::autoSaveChanged);
    }
    // The address and the viewer count come with sharing, as from the real object.
    void setShare(bool v) {
        store("share", share, v, &FakeVideoStreamer::shareChanged);
        emit shareStateChanged();
    }
    void setCameraConnected(bool v) {
        store("cameraConnected", connected, v, &FakeVideoStreamer::cameraConnectedChanged);
    }
    void setP1x(double v) { store("p1x", p[0], v, &FakeVideoStreamer::p1Changed); }
    void setP1y(double v) { store("p1y", p[1], v, &FakeVideoStreamer::p1Changed); }
    void setP2x(double v) { store("p2x", p[2], v, &FakeVideoStreamer::p2Changed); }
    void setP2y(double v) { store("p2y", p[3], v, &FakeVideoStreamer::p2Changed); }
    void setP3x(double v) { store("p3x", p[4], v, &FakeVideoStreamer::p3Changed); }
    void setP3y(double v) { store("p3y", p[5], v, &FakeVideoStreamer::p3Changed); }
    void setP4x(double v) { store("p4x", p[6], v, &FakeVideoStreamer::p4Changed); }
    void setP4y(double v) {
        const bool calibrates = v != p[7] || cornersForgotten;
        cornersForgotten = false;
        store("p4y", p[7], v, &FakeVideoStreamer::p4Changed);
        if (calibrates) {
            ++calibrations;
            emit calibrationFinished(calibrationResult, calibrationReason);
        }
    }

    Q_INVOKABLE QPointF cursorPos() const { return cursor; }
    Q_INVOKABLE void beginCorners() { cornersForgotten = true; }

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
    // A key frame was written (or could not be).
    void boardAutoSaved(bool saved);
    void cameraConnectedChanged();
    void shareChanged();
    void shareStateChanged();
    void calibImgAvailableChanged();
    void p1Changed();
    void p2Changed();
    void p3Changed();
    void p4Changed();
    void calibrationFinished(bool ok, QString reason);

public slots:
    void openVideoCamera(QString) {}
    bool saveImage() {
        ++saveCalls;
        return saveResult;
    }

private:
    template <typename T>
    void store(const char* name, T& field, T value, void (FakeVideoStreamer::*notify)()) {
        writes.push_back({QString::fromLatin1(name), QVariant::fromValue(value)});
        if (field == value)
            return;
        field = value;
        emit(this->*notify)();
    }

    int boardColor = 1;
    int mode = 0;
    int expMode = 0;
    double expVal = 0.0;
    double details = 4.0;
    double brightness = -81.0;
    double contrast = 70.0;
    bool ar = true;
    double arVal = 0.5;
    bool openCalibration = false;
    bool autoSave = true;
    bool share = false;
    double p[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    bool cornersForgotten = false;
};
