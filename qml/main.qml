import QtQuick 2.15
import QtQuick.Window 2.15

Window {
    id: mainWindow
    width: 1280
    height: 720
    visible: true
    color: "#202020"
    title: "Brisel"

    Image {
        id: liveView
        property bool toggle: false
        anchors.fill: parent
        fillMode: Image.PreserveAspectFit
        cache: false
        asynchronous: false
        source: "image://live/image"
    }

    Connections {
        target: liveImageProvider
        function onImageChanged() {
            liveView.toggle = !liveView.toggle
            liveView.source = "image://live/image?id=" + (liveView.toggle ? "1" : "0")
        }
    }
}
