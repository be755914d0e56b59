#pragma once

#include "fake_image_provider.h"
#include "fake_video_streamer.h"

#include <QPointF>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStringList>
#include <QTest>

#include <memory>

// Everything the Qt message handler saw while a document was loaded.
struct MessageLog {
    QStringList problems; // warnings, criticals, fatals
    QStringList lines;    // every message text, console.log lines included
};
MessageLog& messageLog();
void installMessageRecorder();

// The real document from the resources, with fakes in place of the camera object
// and the two image providers.
class LoadedDocument {
public:
    LoadedDocument();
    ~LoadedDocument();

    FakeVideoStreamer camera;
    FakeImageProvider* live = nullptr;        // owned by the engine
    FakeImageProvider* calibration = nullptr; // owned by the engine
    QQuickWindow* window = nullptr;           // the main window
    bool exposed = false;

    // Looks a document id (or any expression) up in the document's own context.
    QVariant eval(const QString& expression) const;
    QObject* object(const QString& id) const;
    QQuickItem* item(const QString& id) const;
    QQuickWindow* windowOf(const QString& id) const;
    QStringList writes() const;
    void clearWrites() { camera.writes.clear(); }

    // Mouse input at a point of an item (its centre unless given), in the item's own
    // coordinates; events go to the window that shows the item.
    static QPoint scenePoint(QQuickItem* item, QPointF local);
    static QPoint centre(QQuickItem* item);
    void mouse(QTest::MouseAction action, const QString& id) const;
    void click(const QString& id) const { mouse(QTest::MouseClick, id); }
    void press(const QString& id) const { mouse(QTest::MousePress, id); }
    void release(const QString& id) const { mouse(QTest::MouseRelease, id); }
    void clickAt(QQuickItem* item, QPointF local) const;

private:
    std::unique_ptr<QQmlApplicationEngine> engine;
};
