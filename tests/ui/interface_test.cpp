// The document speaks to the camera object by name: every name it uses exists on the real
// object, and the UI tests' fake declares it the same way, so the two cannot drift.
#include "fake_video_streamer.h"
#include "video_streamer.h"

#include <QFile>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <set>

namespace {

// The names after "VideoStreamer." and the signals handled in its Connections blocks.
struct DocumentUse {
    std::set<QString> names;
    std::set<QString> handled;
};

DocumentUse documentUse() {
    QFile qml(BRISEL_MAIN_QML);
    EXPECT_TRUE(qml.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(qml.readAll());
    DocumentUse use;
    for (auto m = QRegularExpression(R"(\bVideoStreamer\.(\w+))").globalMatch(text); m.hasNext();)
        use.names.insert(m.next().captured(1));
    const QRegularExpression target(R"(Connections\s*\{\s*target:\s*VideoStreamer\b)");
    for (auto blocks = target.globalMatch(text); blocks.hasNext();) {
        const auto block = blocks.next();
        int end = block.capturedEnd();
        for (int depth = 1; end < text.size() && depth > 0; ++end)
            depth += text[end] == '{' ? 1 : text[end] == '}' ? -1 : 0;
        const QString body = text.mid(block.capturedEnd(), end - block.capturedEnd());
        for (auto h = QRegularExpression(R"(\bfunction\s+on(\w)(\w*)\s*\()").globalMatch(body);
             h.hasNext();) {
            const auto name = h.next();
            use.handled.insert(name.captured(1).toLower() + name.captured(2));
        }
    }
    return use;
}

// How a name is declared: a property's type, writability and notify signal, or the
// signatures, kinds and return types of the methods of that name.
std::string declaration(const QMetaObject& meta, const QString& name) {
    const QByteArray n = name.toUtf8();
    std::string text;
    const int p = meta.indexOfProperty(n.constData());
    if (p >= 0) {
        const QMetaProperty property = meta.property(p);
        text = std::string("property ") + property.typeName() +
               (property.isWritable() ? " writable" : " read-only") + " notify " +
               property.notifySignal().methodSignature().toStdString();
    }
    for (int i = 0; i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        if (method.name() == n && method.access() == QMetaMethod::Public) {
            static const char* kinds[] = {"method", "signal", "slot", "constructor"};
            text += std::string(" ") + kinds[method.methodType()] + " " + method.typeName() + " " +
                    method.methodSignature().toStdString();
        }
    }
    return text;
}

} // namespace

TEST(CameraObjectInterface, TheDocumentsNamesAreOnTheCameraObjectAndTheFakeAlike) {
    const DocumentUse use = documentUse();
    ASSERT_GT(use.names.size(), 15u);
    ASSERT_GE(use.handled.size(), 2u);
    std::set<QString> all = use.names;
    all.insert(use.handled.begin(), use.handled.end());
    for (const QString& name : all) {
        const std::string real = declaration(VideoStreamer::staticMetaObject, name);
        EXPECT_FALSE(real.empty()) << "the camera object lacks " << name.toStdString();
        EXPECT_EQ(declaration(FakeVideoStreamer::staticMetaObject, name), real)
            << "the fake declares " << name.toStdString() << " otherwise";
        EXPECT_TRUE(!use.handled.count(name) || real.find(" signal ") != std::string::npos)
            << "handler of a signal the camera object lacks: " << name.toStdString();
    }
}
