#pragma once

#include <QObject>
#include <QPointF>
#include <QString>
#include <QVariant>
#include <QVector>

#include <utility>

// A read-write property of the camera object: a public field of the property's name that
// tests set directly, its getter, and a setter that records the write.
#define FAKE_PROPERTY(Type, name, Name, notify, initial)                                           \
    Q_PROPERTY(Type name READ get##Name WRITE set##Name NOTIFY notify)                             \
public:                                                                                            \
    Type name = initial;                                                                           \
    Type get##Name() const {                                                                       \
        return name;                                                                               \
    }                                                                                              \
    void set##Name(Type v) {                                                                       \
        store(#name, name, v, &FakeVideoStreamer::notify);                                         \
    }

// Stands in for the camera object: the same QML-visible properties, signals and
// slots, but every property write is recorded in order (also writes of the value
// already held), so a test can check exactly what the document sends and when.
class FakeVideoStreamer : public QObject {
    Q_OBJECT
    FAKE_PROPERTY(int, boardColor, BoardColor, boardColorChanged, 1)
    FAKE_PROPERTY(int, mode, Mode, modeChanged, 0)
    FAKE_PROPERTY(int, expMode, ExpMode, expModeChanged, 0)
    FAKE_PROPERTY(double, expVal, ExpVal, expValChanged, 0.0)
    FAKE_PROPERTY(double, details, Details, detailsChanged, 4.0)
    FAKE_PROPERTY(double, brightness, Brightness, brightnessChanged, -81.0)
    FAKE_PROPERTY(double, contrast, Contrast, contrastChanged, 70.0)
    FAKE_PROPERTY(bool, ar, Ar, arChanged, true)
    FAKE_PROPERTY(double, arVal, ArVal, arValChanged, 0.5)
    FAKE_PROPERTY(bool, openCalibration, OpenCalibration, openCalibrationChanged, false)
    FAKE_PROPERTY(bool, autoSave, AutoSave, autoSaveChanged, true)
    // The address and the viewer count come with sharing, as from the real object.
    FAKE_PROPERTY(bool, share, Share, shareChanged, false)
    FAKE_PROPERTY(bool, cameraConnected, CameraConnected, cameraConnectedChanged, true)
    FAKE_PROPERTY(double, p1x, P1x, p1Changed, 0.0)
    FAKE_PROPERTY(double, p1y, P1y, p1Changed, 0.0)
    FAKE_PROPERTY(double, p2x, P2x, p2Changed, 0.0)
    FAKE_PROPERTY(double, p2y, P2y, p2Changed, 0.0)
    FAKE_PROPERTY(double, p3x, P3x, p3Changed, 0.0)
    FAKE_PROPERTY(double, p3y, P3y, p3Changed, 0.0)
    FAKE_PROPERTY(double, p4x, P4x, p4Changed, 0.0)
    Q_PROPERTY(double p4y READ getP4y WRITE setP4y NOTIFY p4Changed)
    Q_PROPERTY(bool shareAllowed READ getShareAllowed NOTIFY shareStateChanged)
    Q_PROPERTY(QString shareUrl READ getShareUrl NOTIFY shareStateChanged)
    Q_PROPERTY(QString shareNote READ getShareNote NOTIFY shareStateChanged)
    Q_PROPERTY(int shareViewers READ getShareViewers NOTIFY shareStateChanged)

public:
    FakeVideoStreamer() {
        connect(this, &FakeVideoStreamer::shareChanged, this,
                &FakeVideoStreamer::shareStateChanged);
    }

    using Write = std::pair<QString, QVariant>;

    // What the document wrote, in order.
    QVector<Write> writes;
    // Test controls.
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
    double p4y = 0.0;

    bool getShareAllowed() const { return shareAllowed; }
    QString getShareUrl() const { return share ? shareUrl : QString(); }
    QString getShareNote() const { return QString(); }
    int getShareViewers() const { return share ? 3 : 0; }
    double getP4y() const { return p4y; }
    void setP4y(double v) {
        const bool calibrates = v != p4y || cornersForgotten;
        cornersForgotten = false;
        store("p4y", p4y, v, &FakeVideoStreamer::p4Changed);
        if (calibrates) {
            ++calibrations;
            emit calibrationFinished(calibrationResult, calibrationReason);
        }
    }

    Q_INVOKABLE QPointF cursorPos() const { return cursor; }
    Q_INVOKABLE void beginCorners() { cornersForgotten = true; }

signals:
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
    void p1Changed();
    void p2Changed();
    void p3Changed();
    void p4Changed();
    void calibrationFinished(bool ok, QString reason);

public slots:
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

    bool cornersForgotten = false;
};
