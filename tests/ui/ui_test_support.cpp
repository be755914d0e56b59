#include "ui_test_support.h"

#include <QQmlContext>
#include <QQmlExpression>

namespace {
QtMessageHandler previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    messageLog().lines.append(text);
    if (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg)
        messageLog().problems.append(text);
    if (previousHandler)
        previousHandler(type, context, text);
}
} // namespace

MessageLog& messageLog() {
    static MessageLog log;
    return log;
}

void installMessageRecorder() {
    QtMessageHandler old = qInstallMessageHandler(recordMessage);
    if (old != recordMessage)
        previousHandler = old;
}

LoadedDocument::LoadedDocument() : engine(std::make_unique<QQmlApplicationEngine>()) {
    messageLog() = MessageLog{};
    live = new FakeImageProvider(QColor("#406080"));
    calibration = new FakeImageProvider(QColor("#608040"), QSize(1600, 900));
    QQmlContext* context = engine->rootContext();
    context->setContextProperty("VideoStreamer", &camera);
    context->setContextProperty("liveImageProvider", live);
    engine->addImageProvider("live", live);
    context->setContextProperty("calibrateImageProvider", calibration);
    engine->addImageProvider("calibrateImage", calibration);
    engine->addImageProvider("shareQr", new FakeImageProvider(QColor("#000000"), QSize(400, 400)));
    engine->load(QUrl("qrc:/main.qml"));
    if (!engine->rootObjects().isEmpty())
        window = qobject_cast<QQuickWindow*>(engine->rootObjects().first());
    if (window)
        exposed = QTest::qWaitForWindowExposed(window);
}

LoadedDocument::~LoadedDocument() {
    engine.reset();
}

QVariant LoadedDocument::eval(const QString& expression) const {
    QQmlExpression expr(qmlContext(window), window, expression);
    QVariant value = expr.evaluate();
    if (expr.hasError())
        qWarning("expression '%s' failed: %s", qPrintable(expression),
                 qPrintable(expr.error().toString()));
    return value;
}

QObject* LoadedDocument::object(const QString& id) const {
    return eval(id).value<QObject*>();
}

QQuickItem* LoadedDocument::item(const QString& id) const {
    auto* found = qobject_cast<QQuickItem*>(object(id));
    if (!found)
        qWarning("no item '%s'", qPrintable(id));
    return found;
}

QQuickWindow* LoadedDocument::windowOf(const QString& id) const {
    return qobject_cast<QQuickWindow*>(object(id));
}

QStringList LoadedDocument::writes() const {
    QStringList list;
    for (const auto& write : camera.writes)
        list.append(write.first + "=" + write.second.toString());
    return list;
}

QPoint LoadedDocument::scenePoint(QQuickItem* item, QPointF local) {
    return item->mapToScene(local).toPoint();
}

QPoint LoadedDocument::centre(QQuickItem* item) {
    return scenePoint(item, QPointF(item->width() / 2, item->height() / 2));
}

void LoadedDocument::mouse(QTest::MouseAction action, const QString& id) const {
    if (QQuickItem* target = item(id))
        QTest::mouseEvent(action, target->window(), Qt::LeftButton, Qt::NoModifier, centre(target));
}

void LoadedDocument::clickAt(QQuickItem* item, QPointF local) const {
    QTest::mouseClick(item->window(), Qt::LeftButton, Qt::NoModifier, scenePoint(item, local));
}
