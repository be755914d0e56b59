import QtQuick 2.9
import QtQuick.Window 2.3
import QtQuick.Controls 2.5
import QtQuick.Controls.Material 2.3
import QtQuick.Controls.Styles 1.4
import QtQuick.Layouts 1.3
import QtGraphicalEffects 1.15

ApplicationWindow {
    id: root

    Material.theme: Material.Light
    Material.accent: Material.LightBlue
    font.family: poppinsm500.name

    width: Screen.width * widthScale
    height: Screen.width * widthScale * 9 / 16
    visible: true
    title: qsTr("Brisel")
    flags: Qt.FramelessWindowHint | Qt.Window | Qt.WindowMinimizeButtonHint

    property real widthScale: 0.7
    property int windowStatus: 0
    property int clicks: 0
    // The camera object's answer to the last four corners when they were not used, shown
    // in place of the instruction; cleared when a new set of corners begins and by Close.
    property string calibrationMessage: ""
    // The corners could not be saved: clicking again cannot help, so Calibrate becomes Close.
    property bool calibrationUnsaved: false
    property int boardColor: 1
    property int defaultAppWidth: Screen.width * widthScale
    property int defaultAppHeight: Screen.width * widthScale * 9 / 16
    property int defaultAppX: (Screen.desktopAvailableWidth - defaultAppWidth) / 2
    property int defaultAppY: (Screen.desktopAvailableHeight - defaultAppHeight) / 2
    property int saved_state: -1
    property bool boardSelected: false
    property int previousX
    property int previousY

    // A window minimised while maximised comes back maximised.
    onVisibilityChanged: {
        if (saved_state === 4 && root.visibility === 2) {
            root.showMaximized()
            saved_state = -1
        }
    }

    FontLoader {
        id: poppinsm500
        source: "fonts/Poppins Medium 500.ttf"
    }

    QtObject {
        id: internal

        // The arguments are kept for the callers; the toggle follows windowStatus only.
        function maximizeRestore(w, h) {
            if (windowStatus == 0) {
                root.showMaximized()
                windowStatus = 1
                maximizeBtnImage.source = "qrc:////icons/maxRestore.svg"
            } else {
                root.showNormal()
                windowStatus = 0
                maximizeBtnImage.source = "qrc:////icons/maximize.svg"
            }
        }
    }

    // ---------------------------------------------------------------- bottom bar
    Rectangle {
        id: bottomRect
        x: 0
        y: root.height - root.height * 0.08796
        width: root.width
        height: root.height * 0.08796
        color: "#F2F2F2"

        Button {
            id: settingButton
            x: root.width * 0.0078125
            anchors.verticalCenter: parent.verticalCenter
            width: root.height * 0.074
            height: root.height * 0.074
            topInset: 0
            bottomInset: 0
            visible: true
            enabled: true

            background: Rectangle {
                id: settingsBg
                color: "white"
                radius: root.width * 0.003125 * 2
                layer.enabled: true
                layer.effect: DropShadow {
                    transparentBorder: true
                    horizontalOffset: 0
                    verticalOffset: 0
                    radius: 21
                    samples: 60
                    color: "#d8d8d8"
                }
            }

            Image {
                id: settingsSource
                source: "qrc:////icons/settings.svg"
                width: root.height * 0.045509
                height: root.height * 0.04678
                anchors.centerIn: parent
            }

            MouseArea {
                anchors.fill: parent
                onPressed: {
                    if (VideoStreamer.cameraConnected) {
                        settingsBg.color = "#000000"
                        settingsBg.opacity = 0.2
                        mainbriselSettings.visible = !mainbriselSettings.visible
                    } else if (mainbriselSettings.visible) {
                        mainbriselSettings.visible = false
                    }
                    console.log("cam connected in ui: ", VideoStreamer.cameraConnected)
                }
                onReleased: {
                    if (VideoStreamer.cameraConnected) {
                        settingsBg.color = "white"
                        settingsBg.opacity = 1
                    }
                }
            }
        }

        Button {
            id: captureButton
            width: root.height * 0.074
            height: root.height * 0.074
            anchors.centerIn: parent
            topInset: 0
            bottomInset: 0
            visible: true

            background: Rectangle {
                id: captureBg
                color: "white"
                radius: root.width * 0.003125 * 2
                layer.enabled: true
                layer.effect: DropShadow {
                    transparentBorder: true
                    horizontalOffset: 0
                    verticalOffset: 0
                    radius: 21
                    samples: 60
                    color: "#d8d8d8"
                }
            }

            Image {
                id: captureImg
                source: "qrc:////icons/camera.svg"
                width: root.height * 0.04678
                height: root.height * 0.04678
                anchors.centerIn: parent
            }

            Timer {
                id: captureMsgTimer
                // Outcome of the last saveImage() call, for the message.
                property bool saved: false
                interval: 300
                repeat: false
                running: false
                onTriggered: {
                    if (saved)
                        toast.show("Brisel image is saved in \nDocuments/Brisel/ folder", 5000)
                    else
                        toast.show("Brisel image could not be saved", 5000)
                }
            }

            MouseArea {
                anchors.fill: parent
                onPressed: {
                    if (VideoStreamer.cameraConnected) {
                        captureBg.color = "#000000"
                        captureBg.opacity = 0.2
                        console.log("capture clicked")
                        captureMsgTimer.saved = VideoStreamer.saveImage() === true
                        captureMsgTimer.triggered()
                    }
                }
                onReleased: {
                    if (VideoStreamer.cameraConnected) {
                        captureBg.color = "white"
                        captureBg.opacity = 1
                    }
                }
            }
        }
    }

    // ----------------------------------------------------------------- title bar
    Rectangle {
        id: topRect
        x: 0
        y: 0
        width: root.width
        height: defaultAppHeight * 0.037
        color: "#F2F2F2"

        MouseArea {
            property var clickPos
            anchors.fill: parent
            onPressed: {
                clickPos = {x: mouse.x, y: mouse.y}
            }
            onPositionChanged: {
                console.log("position changed")
                root.x = VideoStreamer.cursorPos().x - clickPos.x
                root.y = VideoStreamer.cursorPos().y - clickPos.y
            }
            onDoubleClicked: internal.maximizeRestore(Screen.width, Screen.height - 50)
        }

        Image {
            id: iconImg
            source: "qrc:////icons/brisel.svg"
            width: defaultAppWidth * 0.010416
            height: defaultAppHeight * 0.0185
            x: defaultAppWidth * 0.0078125
            anchors.verticalCenter: parent.verticalCenter
        }

        Text {
            id: title
            text: qsTr("Brisel")
            x: iconImg.x + 1.5 * iconImg.width
            anchors.verticalCenter: parent.verticalCenter
            font.family: poppinsm500.name
            font.pixelSize: topRect.height * 0.4
        }

        Rectangle {
            x: root.width - 180
            y: 0
            width: minimizeButton.width
            height: topRect.height
            radius: 2
            color: minimizeButton.down ? "transparent" : (minimizeButton.hovered ? "#d8d8d8" : "transparent")
            opacity: minimizeButton.enabled ? 1 : 0.3
        }

        Button {
            id: minimizeButton
            x: root.width - 180
            anchors.verticalCenter: parent.verticalCenter
            width: 60
            height: topRect.height
            topInset: 0
            bottomInset: 0
            background: Rectangle {
                color: "transparent"
                radius: 2
                opacity: minimizeButton.enabled ? 1 : 0.3
            }
            Image {
                source: "qrc:////icons/minimize.svg"
                width: defaultAppWidth * 0.0078125
                height: defaultAppHeight * 0.0037
                anchors.centerIn: parent
            }
            onClicked: {
                console.log("minimize clicked")
                saved_state = root.visibility
                root.visibility = Window.Minimized
            }
        }

        Rectangle {
            x: root.width - 120
            y: 0
            width: maximizeButton.width
            height: topRect.height
            radius: 2
            color: maximizeButton.down ? "transparent" : (maximizeButton.hovered ? "#d8d8d8" : "transparent")
            opacity: maximizeButton.enabled ? 1 : 0.3
        }

        Button {
            id: maximizeButton
            x: root.width - 120
            anchors.verticalCenter: parent.verticalCenter
            width: 60
            height: topRect.height
            topInset: 0
            bottomInset: 0
            background: Rectangle {
                color: "transparent"
                radius: 2
                opacity: maximizeButton.enabled ? 1 : 0.3
            }
            Image {
                id: maximizeBtnImage
                source: "qrc:////icons/maximize.svg"
                width: defaultAppWidth * 0.0078125
                height: defaultAppHeight * 0.01388
                anchors.centerIn: parent
            }
            onClicked: {
                console.log("maximize clicked")
                console.log(Screen.width, Screen.height, Screen.availHeight, root.height)
                internal.maximizeRestore(Screen.width, Screen.height - 50)
            }
        }

        Rectangle {
            x: root.width - 60
            y: 0
            width: closeButton.width
            height: topRect.height
            radius: 2
            color: closeButton.down ? "transparent" : (closeButton.hovered ? "red" : "transparent")
            opacity: closeButton.enabled ? 1 : 0.3
        }

        Button {
            id: closeButton
            x: root.width - 60
            anchors.verticalCenter: parent.verticalCenter
            width: 60
            height: topRect.height
            topInset: 0
            bottomInset: 0
            background: Rectangle {
                color: "transparent"
                radius: 2
                opacity: closeButton.enabled ? 1 : 0.3
            }
            Image {
                source: "qrc:////icons/close.svg"
                width: defaultAppWidth * 0.0078125
                height: defaultAppHeight * 0.01388
                anchors.centerIn: parent
            }
            onClicked: {
                console.log("close clicked")
                root.close()
            }
        }
    }

    // ----------------------------------------------------------------- live view
    Rectangle {
        id: imageRect
        x: 0
        y: topRect.height
        width: root.width
        height: root.height - topRect.height - bottomRect.height
        anchors.horizontalCenter: parent.horizontalCenter
        color: "#d8d8d8"

        Image {
            id: opencvImage
            property bool counter: false
            anchors.fill: parent
            fillMode: Image.PreserveAspectFit
            source: "image://live/image"
            asynchronous: false
            cache: false
            visible: true

            // The address alternates so that every announcement is a new request.
            function reload() {
                console.log("in qml: ", VideoStreamer.cameraConnected)
                counter = !counter
                source = "image://live/image?id=" + counter
            }
        }
    }

    Connections {
        target: liveImageProvider
        function onImageChanged() {
            opencvImage.reload()
        }
    }

    Connections {
        target: VideoStreamer
        function onBoardAutoSaved(saved) {
            toast.show(saved ? "Board saved before erasing" : "Board could not be saved", 5000)
        }
    }

    // ------------------------------------------------------------ sharing card
    // Over a corner of the live view while the board is shared; the teacher drags it
    // elsewhere. Its own stop button, since the settings need a camera to open.
    Rectangle {
        id: shareCard
        visible: VideoStreamer.share
        // Above the clear areas around the settings panel that close it on a click.
        z: 1
        width: Math.max(160, imageRect.height * 0.32)
        height: shareColumn.implicitHeight + 16
        x: imageRect.width - width - 12
        y: imageRect.y + 12
        radius: 6
        color: "white"
        border.color: "#828282"

        MouseArea {
            anchors.fill: parent
            drag.target: shareCard
            drag.minimumX: 0
            drag.maximumX: root.width - shareCard.width
            drag.minimumY: topRect.height
            drag.maximumY: root.height - bottomRect.height - shareCard.height
        }

        Column {
            id: shareColumn
            x: 8
            y: 8
            width: parent.width - 16
            spacing: 4

            Image {
                id: shareQr
                width: parent.width
                height: width
                visible: VideoStreamer.shareUrl !== ""
                smooth: false
                cache: false
                source: VideoStreamer.shareUrl === "" ? "" : "image://shareQr/image?id=" + VideoStreamer.shareUrl
            }
            Text {
                id: shareAddress
                width: parent.width
                text: VideoStreamer.shareUrl
                wrapMode: Text.WrapAnywhere
                font.family: poppinsr400.name
                font.pixelSize: 10
            }
            Text {
                id: shareNote
                width: parent.width
                visible: text !== ""
                text: VideoStreamer.shareNote
                color: "#d32f2f"
                wrapMode: Text.WordWrap
                font.family: poppinsr400.name
                font.pixelSize: 11
            }
            Text {
                id: shareViewers
                text: VideoStreamer.shareViewers + (VideoStreamer.shareViewers === 1 ? " viewer" : " viewers")
                font.family: poppinsr400.name
                font.pixelSize: 12
            }
            Row {
                spacing: 6
                Button {
                    id: shareLargeButton
                    text: "Large"
                    enabled: VideoStreamer.shareUrl !== ""
                    onClicked: shareLarge.visible = true
                }
                Button {
                    id: shareStopButton
                    text: "Stop"
                    onClicked: VideoStreamer.share = false
                }
            }
        }
    }

    // The QR code over the whole window, for the back row; a click closes it.
    Rectangle {
        id: shareLarge
        anchors.fill: parent
        visible: false
        color: "white"
        z: 10

        Image {
            id: shareLargeQr
            anchors.centerIn: parent
            width: Math.min(parent.width, parent.height) * 0.85
            height: width
            smooth: false
            cache: false
            source: shareQr.source
        }
        Text {
            anchors.top: shareLargeQr.bottom
            anchors.horizontalCenter: parent.horizontalCenter
            text: VideoStreamer.shareUrl
            font.family: poppinsr400.name
            font.pixelSize: Math.max(12, parent.height * 0.025)
        }
        MouseArea {
            anchors.fill: parent
            onClicked: shareLarge.visible = false
        }
    }

    Connections {
        target: VideoStreamer
        function onShareChanged() {
            if (!VideoStreamer.share)
                shareLarge.visible = false
        }
    }

    // The one-pixel window frame.
    Rectangle {
        anchors.fill: parent
        color: "transparent"
        border.width: 1
        border.color: "#828282"
        visible: true
    }

    // ----------------------------------------- click-away areas around the panel
    Rectangle {
        x: imageRect.x
        y: imageRect.y
        width: imageRect.width
        height: imageRect.height - mainbriselSettings.height
        opacity: 0
        MouseArea {
            id: mouseArea1
            anchors.fill: parent
            onClicked: {
                if (mainbriselSettings.visible)
                    mainbriselSettings.visible = false
            }
        }
    }

    Rectangle {
        x: mainbriselSettings.x + mainbriselSettings.width - imageRect.x
        y: mainbriselSettings.y
        width: imageRect.width - mainbriselSettings.width - mainbriselSettings.x
        height: mainbriselSettings.height
        opacity: 0
        MouseArea {
            id: mouseArea2
            anchors.fill: parent
            onClicked: {
                if (mainbriselSettings.visible)
                    mainbriselSettings.visible = false
            }
        }
    }

    Rectangle {
        x: 0
        y: mainbriselSettings.y
        width: mainbriselSettings.x
        height: mainbriselSettings.height
        opacity: 0
        MouseArea {
            id: mouseArea3
            anchors.fill: parent
            onClicked: {
                if (mainbriselSettings.visible)
                    mainbriselSettings.visible = false
            }
        }
    }

    // ------------------------------------------------------------ resize handles
    MouseArea {
        id: leftResize
        width: 5
        anchors.left: parent.left
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        cursorShape: Qt.SizeHorCursor
        onPressed: {
            var dx = mouseX - previousX
            if (root.width - dx >= defaultAppWidth * 0.5)
                previousX = mouseX
        }
        onMouseXChanged: {
            var dx = mouseX - previousX
            if (root.width - dx >= defaultAppWidth * 0.5) {
                root.setX(root.x + dx)
                root.setWidth(root.width - dx)
            }
        }
    }

    MouseArea {
        id: rightResize
        width: 5
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        cursorShape: Qt.SizeHorCursor
        onPressed: {
            var dx = mouseX - previousX
            if (root.width + dx >= defaultAppWidth * 0.5)
                previousX = mouseX
        }
        onMouseXChanged: {
            var dx = mouseX - previousX
            if (root.width + dx >= defaultAppWidth * 0.5)
                root.setWidth(root.width + dx)
        }
    }

    MouseArea {
        id: topResize
        height: 5
        anchors.top: parent.top
        anchors.left: parent.left
        anchors.right: parent.right
        cursorShape: Qt.SizeVerCursor
        onPressed: {
            var dy = mouseY - previousY
            if (root.height - dy >= defaultAppHeight * 0.5)
                previousY = mouseY
        }
        onMouseYChanged: {
            var dy = mouseY - previousY
            if (root.height - dy >= defaultAppHeight * 0.5) {
                root.setY(root.y + dy)
                root.setHeight(root.height - dy)
            }
        }
    }

    MouseArea {
        id: bottomResize
        height: 5
        anchors.bottom: parent.bottom
        anchors.left: parent.left
        anchors.right: parent.right
        cursorShape: Qt.SizeVerCursor
        onPressed: {
            var dy = mouseY - previousY
            if (root.height + dy >= defaultAppHeight * 0.5)
                previousY = mouseY
        }
        onMouseYChanged: {
            var dy = mouseY - previousY
            if (root.height + dy >= defaultAppHeight * 0.5)
                root.setHeight(root.height + dy)
        }
    }

    MouseArea {
        id: bottomRightResize
        width: 5
        height: 5
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        cursorShape: Qt.SizeFDiagCursor
        onPressed: {
            var dx = mouseX - previousX
            if (root.width + dx >= defaultAppWidth * 0.5)
                previousX = mouseX
            var dy = mouseY - previousY
            if (root.height + dy >= defaultAppHeight * 0.5)
                previousY = mouseY
        }
        onMouseXChanged: {
            var dx = mouseX - previousX
            if (root.width + dx >= defaultAppWidth * 0.5)
                root.setWidth(root.width + dx)
        }
        onMouseYChanged: {
            var dy = mouseY - previousY
            if (root.height + dy >= defaultAppHeight * 0.5)
                root.setHeight(root.height + dy)
        }
    }

    MouseArea {
        id: topRightResize
        width: 5
        height: 5
        anchors.right: parent.right
        anchors.top: parent.top
        cursorShape: Qt.SizeBDiagCursor
        onPressed: {
            var dx = mouseX - previousX
            if (root.width + dx >= defaultAppWidth * 0.5)
                previousX = mouseX
            var dy = mouseY - previousY
            if (root.height - dy >= defaultAppHeight * 0.5)
                previousY = mouseY
        }
        onMouseXChanged: {
            var dx = mouseX - previousX
            if (root.width + dx >= defaultAppWidth * 0.5)
                root.setWidth(root.width + dx)
        }
        onMouseYChanged: {
            var dy = mouseY - previousY
            if (root.height - dy >= defaultAppHeight * 0.5) {
                root.setY(root.y + dy)
                root.setHeight(root.height - dy)
            }
        }
    }

    MouseArea {
        id: topLeftResize
        width: 5
        height: 5
        anchors.left: parent.left
        anchors.top: parent.top
        cursorShape: Qt.SizeFDiagCursor
        onPressed: {
            var dx = mouseX - previousX
            if (root.width - dx >= defaultAppWidth * 0.5)
                previousX = mouseX
            var dy = mouseY - previousY
            if (root.height - dy >= defaultAppHeight * 0.5)
                previousY = mouseY
        }
        onMouseXChanged: {
            var dx = mouseX - previousX
            if (root.width - dx >= defaultAppWidth * 0.5) {
                root.setX(root.x + dx)
                root.setWidth(root.width - dx)
            }
        }
        onMouseYChanged: {
            var dy = mouseY - previousY
            if (root.height - dy >= defaultAppHeight * 0.5) {
                root.setY(root.y + dy)
                root.setHeight(root.height - dy)
            }
        }
    }

    MouseArea {
        id: bottomLeftResize
        width: 5
        height: 5
        anchors.left: parent.left
        anchors.bottom: parent.bottom
        cursorShape: Qt.SizeBDiagCursor
        onPressed: {
            var dx = mouseX - previousX
            if (root.width - dx >= defaultAppWidth * 0.5)
                previousX = mouseX
            var dy = mouseY - previousY
            if (root.height + dy >= defaultAppHeight * 0.5)
                previousY = mouseY
        }
        onMouseXChanged: {
            var dx = mouseX - previousX
            if (root.width - dx >= defaultAppWidth * 0.5) {
                root.setX(root.x + dx)
                root.setWidth(root.width - dx)
            }
        }
        onMouseYChanged: {
            var dy = mouseY - previousY
            if (root.height + dy >= defaultAppHeight * 0.5)
                root.setHeight(root.height + dy)
        }
    }

    // ------------------------------------------------------------ settings panel
    Rectangle {
        id: mainbriselSettings

        Material.theme: Material.Light
        Material.accent: "#335AFB"

        color: "white"
        border.color: "lightgrey"
        radius: root.width * 0.003125 * 2
        x: settingButton.x
        y: root.height - mainbriselSettings.height - bottomRect.height
        width: root.width * 0.4336
        height: (root.height * 0.56527 > width * 0.7333) ? width * 0.7333 : root.height * 0.56527
        visible: false
        layer.enabled: true
        layer.effect: DropShadow {
            transparentBorder: true
            horizontalOffset: 0
            verticalOffset: 0
            radius: 21
            samples: 60
            color: "#d8d8d8"
        }

        FontLoader {
            id: poppinssb600
            source: "qrc:///fonts/Poppins SemiBold 600.ttf"
        }

        FontLoader {
            id: poppinsr400
            source: "qrc:///fonts/Poppins Regular 400.ttf"
        }

        Text {
            id: modeText
            text: "Select mode"
            x: mainbriselSettings.width * 0.072
            y: mainbriselSettings.height * 0.07371
            width: mainbriselSettings.width * 0.167
            height: mainbriselSettings.height * 0.05241
            font.family: poppinssb600.name
            font.pixelSize: mainbriselSettings.height * 0.034398
        }

        Rectangle {
            x: mainbriselSettings.width * 0.33919
            y: mainbriselSettings.height * 0.07371
            width: 2
            height: 2
            visible: true

            ButtonGroup {
                id: modeBtnGroup
            }

            ColumnLayout {
                id: modeColumn
                anchors.fill: parent
                scale: mainbriselSettings.height * 0.00229

                RadioButton {
                    id: color
                    text: "Color"
                    checked: true
                    ButtonGroup.group: modeBtnGroup
                    Layout.preferredHeight: 30
                    spacing: 12.05
                    font.family: poppinsr400.name
                    font.pixelSize: 15
                    onClicked: VideoStreamer.mode = 0
                }

                RadioButton {
                    id: bw
                    text: "Black & White"
                    ButtonGroup.group: modeBtnGroup
                    Layout.preferredHeight: 30
                    spacing: 12.05
                    font.family: poppinsr400.name
                    font.pixelSize: 15
                    onClicked: VideoStreamer.mode = 1
                }

                RadioButton {
                    id: original
                    text: "Original"
                    ButtonGroup.group: modeBtnGroup
                    Layout.preferredHeight: 30
                    spacing: 12.05
                    font.family: poppinsr400.name
                    font.pixelSize: 15
                    // There is no live overlay on the unprocessed picture.
                    onCheckedChanged: {
                        if (checked) {
                            ar.checkable = false
                            ar.checked = false
                            ar.enabled = false
                            arSlider.enabled = false
                            VideoStreamer.mode = 2
                        } else {
                            ar.checkable = true
                            ar.checked = true
                            ar.enabled = true
                            arSlider.enabled = true
                            VideoStreamer.ar = true
                        }
                    }
                }
            }
        }

        Text {
            id: arText
            text: "AR"
            x: mainbriselSettings.width * 0.072
            y: mainbriselSettings.height * 0.33661
            width: mainbriselSettings.width * 0.167
            height: mainbriselSettings.height * 0.05241
            font.family: poppinssb600.name
            font.pixelSize: mainbriselSettings.height * 0.034398
        }

        Rectangle {
            x: mainbriselSettings.width * 0.355
            y: mainbriselSettings.height * 0.33661
            width: 20 * ar.scale
            height: 20 * ar.scale
            visible: true

            CheckBox {
                id: ar
                anchors.fill: parent
                scale: mainbriselSettings.height * 0.00229
                checked: !(original.checked === true)
                checkable: !(original.checked === true)
                enabled: !(original.checked == true)
                onClicked: {
                    if (ar.checked) {
                        arSlider.enabled = true
                        VideoStreamer.ar = true
                    } else {
                        arSlider.enabled = false
                        VideoStreamer.ar = false
                    }
                }
            }
        }

        Text {
            text: "Enable"
            x: mainbriselSettings.width * 0.405
            y: mainbriselSettings.height * 0.3366
            font.family: poppinsr400.name
            font.pixelSize: mainbriselSettings.height * 0.034398
        }

        Rectangle {
            x: mainbriselSettings.width * 0.5459
            y: mainbriselSettings.height * 0.3587
            scale: mainbriselSettings.width * 0.00168

            Slider {
                id: arSlider
                width: 240
                height: 8
                from: 0
                to: 1
                stepSize: 0.05
                value: 0.5
                onValueChanged: VideoStreamer.arVal = value
            }
        }

        Text {
            id: expText
            text: "Exposure"
            x: mainbriselSettings.width * 0.072
            y: mainbriselSettings.height * 0.3721
            width: mainbriselSettings.width * 0.167
            height: mainbriselSettings.height * 0.0443
            font.family: poppinssb600.name
            font.pixelSize: mainbriselSettings.height * 0.034398
            visible: false
        }

        Rectangle {
            x: mainbriselSettings.width * 0.33919
            y: mainbriselSettings.height * 0.3721
            width: 2
            height: 2
            visible: false

            ButtonGroup {
                id: expBtnGroup
            }

            ColumnLayout {
                id: expColumn
                anchors.fill: parent
                scale: mainbriselSettings.width * 0.00168

                RadioButton {
                    id: auto
                    text: "Auto"
                    checked: true
                    ButtonGroup.group: expBtnGroup
                    Layout.preferredHeight: 30
                    spacing: 12.05
                    font.family: poppinsr400.name
                    font.pixelSize: 15
                    onClicked: VideoStreamer.expMode = 0
                }

                RadioButton {
                    id: manualExp
                    text: "Manual"
                    ButtonGroup.group: expBtnGroup
                    Layout.preferredHeight: 30
                    spacing: 12.05
                    font.family: poppinsr400.name
                    font.pixelSize: 15
                    onClicked: VideoStreamer.expMode = 1
                }
            }
        }

        Slider {
            id: expSlider
            x: mainbriselSettings.width * 0.5459
            y: mainbriselSettings.height * 0.45738
            width: mainbriselSettings.width * 0.37477
            height: 6
            from: -20
            to: 20
            stepSize: 1
            value: -6
            visible: false
            enabled: manualExp.checked
            onValueChanged: VideoStreamer.expVal = value
        }

        Text {
            text: "Details"
            x: mainbriselSettings.width * 0.072
            y: mainbriselSettings.height * 0.43708
            width: mainbriselSettings.width * 0.096
            height: mainbriselSettings.height * 0.0443
            font.family: poppinssb600.name
            font.pixelSize: mainbriselSettings.height * 0.034398
        }

        Rectangle {
            x: mainbriselSettings.width * 0.33919
            y: mainbriselSettings.height * 0.457
            scale: mainbriselSettings.width * 0.00168

            Slider {
                id: detailsSlider
                width: 300
                height: 6
                from: 0
                to: 20
                stepSize: 0.25
                value: 4
                onPressedChanged: {
                    if (pressed) {
                        console.log("details pressed!!!")
                    } else {
                        console.log("details released!!!")
                        VideoStreamer.details = value
                    }
                }
            }
        }

        Text {
            text: "Contrast"
            x: mainbriselSettings.width * 0.072
            y: mainbriselSettings.height * 0.5349
            width: mainbriselSettings.width * 0.12
            height: mainbriselSettings.height * 0.0443
            font.family: poppinssb600.name
            font.pixelSize: mainbriselSettings.height * 0.034398
        }

        Rectangle {
            x: mainbriselSettings.width * 0.33919
            y: mainbriselSettings.height * 0.555
            scale: mainbriselSettings.width * 0.00168

            Slider {
                id: contrastSlider
                width: 300
                height: 6
                from: 1
                to: 100
                stepSize: 1
                value: 70
                onPressedChanged: {
                    if (pressed) {
                        console.log("contrast pressed!!!")
                    } else {
                        console.log("contrast released!!!")
                        VideoStreamer.contrast = value
                    }
                }
            }
        }

        Text {
            text: "Brightness"
            x: mainbriselSettings.width * 0.072
            y: mainbriselSettings.height * 0.6327
            width: mainbriselSettings.width * 0.1441
            height: mainbriselSettings.height * 0.0443
            font.family: poppinssb600.name
            font.pixelSize: mainbriselSettings.height * 0.034398
        }

        Rectangle {
            x: mainbriselSettings.width * 0.33919
            y: mainbriselSettings.height * 0.65356
            scale: mainbriselSettings.width * 0.00168

            Slider {
                id: brightnessSlider
                width: 300
                height: 6
                from: -127
                to: 127
                stepSize: 5
                value: -81
                onPressedChanged: {
                    if (pressed) {
                        console.log("brightness pressed!!!")
                    } else {
                        console.log("brightness released!!!")
                        VideoStreamer.brightness = value
                    }
                }
            }
        }

        Button {
            id: restoreButton
            x: mainbriselSettings.width * 0.072
            y: mainbriselSettings.height * 0.7297
            width: mainbriselSettings.width * 0.3045
            height: mainbriselSettings.height * 0.10483
            topInset: 0
            bottomInset: 0

            background: Rectangle {
                id: restoreBg
                color: "white"
                radius: root.width * 0.003125 * 2
                border.color: "#EB5142"
                border.width: root.height * 0.002417
            }
            contentItem: Item {}

            Image {
                id: restoreImg
                source: "qrc:////icons/restore.svg"
                width: restoreButton.height * 0.5625
                height: restoreButton.height * 0.5625
                x: restoreButton.x * 0.1906
                y: (restoreButton.height - restoreImg.height) / 2
            }

            Text {
                text: "Restore to Default"
                color: "#EB5142"
                x: restoreButton.x * 0.9
                y: restoreImg.y
                font.family: poppinsr400.name
                font.pixelSize: mainbriselSettings.height * 0.034398
            }

            onPressed: {
                restoreBg.color = "#000000"
                restoreBg.opacity = 0.2
                color.checked = true
                VideoStreamer.mode = 0
                VideoStreamer.ar = true
                ar.checked = true
                arSlider.enabled = true
                arSlider.value = 0.5
                detailsSlider.value = 4
                brightnessSlider.value = -81
                contrastSlider.value = 70
                VideoStreamer.details = detailsSlider.value
                VideoStreamer.brightness = brightnessSlider.value
                VideoStreamer.contrast = contrastSlider.value
            }
            onReleased: {
                restoreBg.color = "white"
                restoreBg.opacity = 1
            }
        }

        Button {
            id: recalibButton
            x: mainbriselSettings.width * 0.072
            y: mainbriselSettings.height * 0.85749
            width: mainbriselSettings.width * 0.2288
            height: mainbriselSettings.height * 0.10483
            topInset: 0
            bottomInset: 0

            background: Rectangle {
                id: calibBg
                color: "white"
                radius: root.width * 0.003125 * 2
                border.color: "#335AFB"
                border.width: root.height * 0.002417
            }
            contentItem: Item {}

            Image {
                id: recalibImg
                source: "qrc:////icons/recalibrate.svg"
                width: recalibButton.height * 0.4375
                height: recalibButton.height * 0.40625
                x: recalibButton.x * 0.2667
                y: (recalibButton.height - recalibImg.height) / 2
            }

            Text {
                text: "Recalibrate"
                color: "#335AFB"
                x: recalibButton.x * 0.9
                y: (restoreButton.height - restoreImg.height) / 2
                font.family: poppinsr400.name
                font.pixelSize: mainbriselSettings.height * 0.034398
            }

            MouseArea {
                anchors.fill: parent
                onPressed: {
                    calibBg.color = "#000000"
                    calibBg.opacity = 0.2
                    VideoStreamer.openCalibration = true
                    bottomRect.visible = false
                    imageRect.visible = false
                    boardSelectionWindow.visible = true
                    mainbriselSettings.visible = false
                    calibBg.color = "white"
                    calibBg.opacity = 1
                }
                onReleased: {
                    calibBg.color = "white"
                    calibBg.opacity = 1
                }
            }
        }

        // Right of Restore and Recalibrate, in the style of the AR check box.
        Rectangle {
            x: mainbriselSettings.width * 0.42
            y: mainbriselSettings.height * 0.7647
            width: 20 * autoSaveBox.scale
            height: 20 * autoSaveBox.scale
            visible: true

            CheckBox {
                id: autoSaveBox
                anchors.fill: parent
                scale: mainbriselSettings.height * 0.00229
                checked: true
                onClicked: VideoStreamer.autoSave = autoSaveBox.checked
            }
        }

        Text {
            id: autoSaveText
            text: "Auto-save before erasing"
            x: mainbriselSettings.width * 0.47
            y: mainbriselSettings.height * 0.7647
            font.family: poppinsr400.name
            font.pixelSize: mainbriselSettings.height * 0.034398
        }

        // Below Auto-save, alike; a school's IT can hide it.
        Rectangle {
            x: mainbriselSettings.width * 0.42
            y: mainbriselSettings.height * 0.8347
            width: 20 * shareBox.scale
            height: 20 * shareBox.scale
            visible: VideoStreamer.shareAllowed

            CheckBox {
                id: shareBox
                anchors.fill: parent
                scale: mainbriselSettings.height * 0.00229
                checked: VideoStreamer.share
                onClicked: VideoStreamer.share = shareBox.checked
            }
        }

        Text {
            id: shareText
            text: "Share with the class"
            x: mainbriselSettings.width * 0.47
            y: mainbriselSettings.height * 0.8347
            visible: VideoStreamer.shareAllowed
            font.family: poppinsr400.name
            font.pixelSize: mainbriselSettings.height * 0.034398
        }
    }

    // --------------------------------------------------------------------- toast
    Rectangle {
        id: toast

        property bool selfDestroying: false
        readonly property real defaultTime: 3000
        property real time: defaultTime
        readonly property real fadeTime: 300
        property real margin: 10

        function show(text, duration) {
            message.text = text
            if (typeof duration !== "undefined")
                time = Math.max(duration, 2 * fadeTime)
            else
                time = defaultTime
            // A toast arriving while one shows replaces it and gets its full time.
            animation.restart()
        }

        x: 0.375 * root.width
        y: bottomRect.y - toast.height
        width: root.width / 4
        height: message.height + margin
        radius: margin
        opacity: 0
        color: "lightgrey"

        Text {
            id: message
            color: "black"
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
            font.family: poppinsr400.name
            font.pixelSize: mainbriselSettings.width * 0.025
            anchors.top: parent.top
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.margins: parent.margin / 2
        }

        SequentialAnimation on opacity {
            id: animation
            running: false

            NumberAnimation {
                to: 0.9
                duration: toast.fadeTime
            }
            PauseAnimation {
                duration: toast.time - 2 * toast.fadeTime
            }
            NumberAnimation {
                to: 0
                duration: toast.fadeTime
            }

            onRunningChanged: {
                if (!running && toast.selfDestroying)
                    toast.destroy()
            }
        }
    }

    // ------------------------------------------------------ board colour window
    ApplicationWindow {
        id: boardSelectionWindow
        x: defaultAppX
        y: defaultAppY
        width: defaultAppWidth
        height: defaultAppHeight
        visible: false
        flags: Qt.FramelessWindowHint | Qt.Window

        Rectangle {
            id: boardImgWindow
            x: 0
            y: boardSelectTopRect.height
            width: boardSelectionWindow.width
            height: boardSelectionWindow.height - boardSelectTopRect.height - boardSelectBottomRect.height
            color: "#F7F7F7"

            Button {
                id: blackBoard
                x: boardSelectionWindow.width * 0.2036
                anchors.verticalCenter: parent.verticalCenter
                width: boardSelectionWindow.width * 0.1875
                height: boardSelectionWindow.height * 0.2037
                topInset: 0
                bottomInset: 0
                background: Rectangle {
                    color: "black"
                    radius: blackBoard.width * 0.0499
                }
                contentItem: Text {
                    text: "BLACK BOARD"
                    color: "white"
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                    font.family: poppinssb600.name
                    font.pixelSize: blackBoard.height * 0.1607
                }
                Rectangle {
                    id: blackSelection
                    width: blackBoard.width * 1.0667
                    height: blackBoard.height * 1.03
                    anchors.verticalCenter: parent.verticalCenter
                    x: -(width - blackBoard.width) / 2
                    color: "transparent"
                    radius: width * 0.0546875
                    border.width: width * 0.01666
                    border.color: "#335AFB"
                    visible: false
                }
                MouseArea {
                    anchors.fill: parent
                    onPressed: {
                        blackSelection.visible = true
                        whiteSelection.visible = false
                        greenSelection.visible = false
                        root.boardColor = 0
                        boardSelected = true
                    }
                }
            }

            Button {
                id: whiteBoard
                x: blackBoard.x + blackBoard.width + boardSelectionWindow.width * 0.017385416
                anchors.verticalCenter: parent.verticalCenter
                width: boardSelectionWindow.width * 0.1875
                height: boardSelectionWindow.height * 0.2037
                topInset: 0
                bottomInset: 0
                background: Rectangle {
                    color: "white"
                    radius: whiteBoard.width * 0.0499
                    border.color: "black"
                    border.width: whiteSelection.width * 0.01666
                }
                contentItem: Text {
                    text: "WHITE BOARD"
                    color: "black"
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                    font.family: poppinssb600.name
                    font.pixelSize: whiteBoard.height * 0.1607
                }
                Rectangle {
                    id: whiteSelection
                    width: whiteBoard.width * 1.0667
                    height: whiteBoard.height * 1.03
                    anchors.verticalCenter: parent.verticalCenter
                    x: -(width - whiteBoard.width) / 2
                    color: "transparent"
                    radius: width * 0.0546875
                    border.width: width * 0.01666
                    border.color: "#335AFB"
                    visible: false
                }
                MouseArea {
                    anchors.fill: parent
                    onPressed: {
                        blackSelection.visible = false
                        whiteSelection.visible = true
                        greenSelection.visible = false
                        root.boardColor = 1
                        boardSelected = true
                    }
                }
            }

            Button {
                id: greenBoard
                x: blackBoard.x + 2 * blackBoard.width + 2 * boardSelectionWindow.width * 0.017385416
                anchors.verticalCenter: parent.verticalCenter
                width: boardSelectionWindow.width * 0.1875
                height: boardSelectionWindow.height * 0.2037
                topInset: 0
                bottomInset: 0
                background: Rectangle {
                    color: "#0D8A3F"
                    radius: greenBoard.width * 0.0499
                }
                contentItem: Text {
                    text: "GREEN BOARD"
                    color: "white"
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                    font.family: poppinssb600.name
                    font.pixelSize: greenBoard.height * 0.1607
                }
                Rectangle {
                    id: greenSelection
                    width: greenBoard.width * 1.0667
                    height: greenBoard.height * 1.03
                    anchors.verticalCenter: parent.verticalCenter
                    x: -(width - greenBoard.width) / 2
                    color: "transparent"
                    radius: width * 0.0546875
                    border.width: width * 0.01666
                    border.color: "#335AFB"
                    visible: false
                }
                MouseArea {
                    anchors.fill: parent
                    onPressed: {
                        blackSelection.visible = false
                        whiteSelection.visible = false
                        greenSelection.visible = true
                        root.boardColor = 2
                        boardSelected = true
                    }
                }
            }
        }

        Rectangle {
            id: boardSelectBottomRect
            x: 0
            y: boardSelectionWindow.height * 0.8
            width: boardSelectionWindow.width
            height: boardSelectionWindow.height * 0.2097
            color: "#FFFFFF"

            Image {
                id: calibIcon1
                source: "qrc:////icons/calibrate.svg"
                width: boardSelectionWindow.height * 0.14444
                height: boardSelectionWindow.height * 0.14444
                x: boardSelectionWindow.width * 0.03
                anchors.verticalCenter: parent.verticalCenter
            }

            Text {
                text: qsTr("Calibrate")
                x: boardSelectionWindow.width * 0.03 + 1.15 * boardSelectionWindow.height * 0.14444
                y: boardSelectionWindow.height * 0.03058
                font.family: poppinsm500.name
                font.pixelSize: boardSelectionWindow.height * 0.0277
            }

            Text {
                text: "Select board color"
                x: boardSelectionWindow.width * 0.03 + 1.15 * boardSelectionWindow.height * 0.14444
                y: boardSelectionWindow.height * 0.0859
                width: boardSelectionWindow.width * 0.2367
                height: boardSelectionWindow.height * 0.0932
                font.family: poppinsr400.name
                font.pixelSize: boardSelectionWindow.height * 0.0203
            }

            Button {
                id: boardNextButton
                x: boardSelectionWindow.width * 0.815625
                y: boardSelectionWindow.height * 0.1019
                width: boardSelectionWindow.width * 0.153125
                height: boardSelectionWindow.height * 0.07864
                topInset: 0
                bottomInset: 0
                enabled: boardSelected
                background: Rectangle {
                    color: boardNextButton.enabled ? "#335AFB" : "#b8b8b8"
                    radius: root.width * 0.003125 * 3
                }
                contentItem: Text {
                    text: "Next"
                    color: "#FFFFFF"
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                    font.family: poppinsr400.name
                    font.pixelSize: boardSelectionWindow.height * 0.0277
                }
                onClicked: {
                    VideoStreamer.beginCorners()
                    calibWindow.visible = true
                    boardSelectionWindow.visible = false
                    blackSelection.visible = false
                    whiteSelection.visible = false
                    greenSelection.visible = false
                    boardSelected = false
                }
            }
        }

        Rectangle {
            id: boardSelectTopRect
            x: 0
            y: 0
            width: boardSelectionWindow.width
            height: defaultAppHeight * 0.037
            color: "#F2F2F2"

            Image {
                id: boardIconImg
                source: "qrc:////icons/brisel.svg"
                width: defaultAppWidth * 0.010416
                height: defaultAppHeight * 0.0185
                x: defaultAppWidth * 0.0078125
                anchors.verticalCenter: parent.verticalCenter
            }

            Text {
                text: qsTr("Brisel")
                x: boardIconImg.x + 1.5 * boardIconImg.width
                anchors.verticalCenter: parent.verticalCenter
                font.family: poppinsm500.name
                font.pixelSize: boardSelectTopRect.height * 0.4
            }

            Rectangle {
                x: boardSelectionWindow.width - 60
                y: 0
                width: 60
                height: boardSelectTopRect.height
                radius: 2
                color: boardSelectCloseButton.down ? "transparent" : (boardSelectCloseButton.hovered ? "red" : "transparent")
            }

            Button {
                id: boardSelectCloseButton
                x: boardSelectionWindow.width - 60
                anchors.verticalCenter: parent.verticalCenter
                width: 60
                height: boardSelectTopRect.height
                topInset: 0
                bottomInset: 0
                background: Rectangle {
                    color: "transparent"
                    radius: 2
                }
                Image {
                    source: "qrc:////icons/close.svg"
                    width: defaultAppWidth * 0.0078125
                    height: defaultAppHeight * 0.01388
                    anchors.centerIn: parent
                }
                onClicked: {
                    console.log("close clicked")
                    VideoStreamer.openCalibration = false
                    bottomRect.visible = true
                    imageRect.visible = true
                    boardSelectionWindow.visible = false
                    blackSelection.visible = false
                    whiteSelection.visible = false
                    greenSelection.visible = false
                    boardSelected = false
                }
            }
        }

        Rectangle {
            anchors.fill: parent
            color: "transparent"
            border.width: 1
            border.color: "#828282"
        }
    }

    // --------------------------------------------------------- calibration window
    ApplicationWindow {
        id: calibWindow
        x: defaultAppX
        y: defaultAppY
        width: defaultAppWidth
        height: defaultAppHeight
        visible: false
        flags: Qt.FramelessWindowHint | Qt.Window

        // A new set of four corners: the camera object calibrates at the fourth click even
        // where it lands on the last set's fourth corner.
        function beginCorners() {
            clicks = 0
            hideMarkers()
            VideoStreamer.beginCorners()
        }

        function closeCalibration() {
            VideoStreamer.openCalibration = false
            calibWindow.visible = false
            bottomRect.visible = true
            imageRect.visible = true
            clicks = 0
            calibrationMessage = ""
            calibrationUnsaved = false
            calibWindow.hideMarkers()
        }

        function hideMarkers() {
            circle1.visible = false
            circle11.visible = false
            circle2.visible = false
            circle21.visible = false
            circle3.visible = false
            circle31.visible = false
            circle4.visible = false
            circle41.visible = false
        }

        Rectangle {
            id: calibBottomRect
            x: 0
            y: calibWindow.height * 0.8
            width: calibWindow.width
            height: calibWindow.height * 0.2097
            color: "#FFFFFF"

            Image {
                id: calibIcon
                source: "qrc:////icons/calibrate.svg"
                width: calibWindow.height * 0.14444
                height: calibWindow.height * 0.14444
                x: calibWindow.width * 0.03
                anchors.verticalCenter: parent.verticalCenter
            }

            Text {
                text: qsTr("Calibrate")
                x: calibIcon.x + 1.15 * calibIcon.width
                y: calibWindow.height * 0.03058
                font.family: poppinsm500.name
                font.pixelSize: calibWindow.height * 0.0277
            }

            Text {
                id: calibInstruction
                text: calibrationMessage !== "" ? calibrationMessage : "Click on the board corners to adjust the board area \nwhen the image is displayed. Make sure Circles are inside \nthe frame of Whiteboard"
                x: calibIcon.x + 1.15 * calibIcon.width
                y: calibWindow.height * 0.0859
                width: calibWindow.width * 0.2367
                height: calibWindow.height * 0.0932
                font.family: poppinsr400.name
                font.pixelSize: calibWindow.height * 0.0203
            }

            Button {
                id: calibReButton
                x: calibWindow.width * 0.6060606060606061
                y: calibWindow.height * 0.1019
                width: calibWindow.width * 0.153125
                height: calibWindow.height * 0.07864
                topInset: 0
                bottomInset: 0
                enabled: clicks >= 1
                background: Rectangle {
                    color: calibReButton.enabled ? "#335AFB" : "#b8b8b8"
                    radius: root.width * 0.003125 * 3
                }
                contentItem: Text {
                    text: "Reselect"
                    color: "#FFFFFF"
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                    font.family: poppinsr400.name
                    font.pixelSize: calibWindow.height * 0.0277
                }
                onClicked: {
                    calibrationMessage = ""
                    calibrationUnsaved = false
                    calibWindow.beginCorners()
                }
            }

            Button {
                id: calibButton
                x: calibWindow.width * 0.815625
                y: calibWindow.height * 0.1019
                width: calibWindow.width * 0.153125
                height: calibWindow.height * 0.07864
                topInset: 0
                bottomInset: 0
                enabled: clicks >= 4 || calibrationUnsaved
                background: Rectangle {
                    color: calibButton.enabled ? "#335AFB" : "#b8b8b8"
                    radius: root.width * 0.003125 * 3
                }
                contentItem: Text {
                    text: calibrationUnsaved ? "Close" : "Calibrate"
                    color: "#FFFFFF"
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                    font.family: poppinsr400.name
                    font.pixelSize: calibWindow.height * 0.0277
                }
                onClicked: {
                    // The previous calibration stays in use; the colour is not sent.
                    if (calibrationUnsaved) {
                        calibWindow.closeCalibration()
                        return
                    }
                    VideoStreamer.openCalibration = false
                    calibWindow.visible = false
                    bottomRect.visible = true
                    imageRect.visible = true
                    clicks = 0
                    calibWindow.hideMarkers()
                    VideoStreamer.boardColor = boardColor
                    console.log("VideoStreamer.boardColor: ", VideoStreamer.boardColor)
                }
            }
        }

        Rectangle {
            id: calibTopRect
            x: 0
            y: 0
            width: calibWindow.width
            height: defaultAppHeight * 0.037
            color: "#F2F2F2"

            Image {
                id: calibIconImg
                source: "qrc:////icons/brisel.svg"
                width: defaultAppWidth * 0.010416
                height: defaultAppHeight * 0.0185
                x: defaultAppWidth * 0.0078125
                anchors.verticalCenter: parent.verticalCenter
            }

            Text {
                text: qsTr("Brisel")
                x: calibIconImg.x + 1.5 * calibIconImg.width
                anchors.verticalCenter: parent.verticalCenter
                font.family: poppinsm500.name
                font.pixelSize: calibTopRect.height * 0.4
            }

            Rectangle {
                x: calibWindow.width - 60
                y: 0
                width: 60
                height: calibTopRect.height
                radius: 2
                color: calibCloseButton.down ? "transparent" : (calibCloseButton.hovered ? "red" : "transparent")
            }

            Button {
                id: calibCloseButton
                x: calibWindow.width - 60
                anchors.verticalCenter: parent.verticalCenter
                width: 60
                height: calibTopRect.height
                topInset: 0
                bottomInset: 0
                background: Rectangle {
                    color: "transparent"
                    radius: 2
                }
                Image {
                    source: "qrc:////icons/close.svg"
                    width: defaultAppWidth * 0.0078125
                    height: defaultAppHeight * 0.01388
                    anchors.centerIn: parent
                }
                onClicked: {
                    console.log("close clicked")
                    calibWindow.closeCalibration()
                }
            }
        }

        Rectangle {
            id: calibImgWindow
            x: 0
            y: calibTopRect.height
            width: calibWindow.width
            height: calibWindow.height - calibTopRect.height - calibBottomRect.height

            Image {
                id: calibrateImage
                property bool counter: false
                anchors.fill: parent
                source: "image://calibrateImage/image"
                asynchronous: false
                cache: false

                function reload() {
                    counter = !counter
                    source = "image://calibrateImage/image?id=" + counter
                }
            }

            MouseArea {
                id: mouse
                anchors.fill: parent
                acceptedButtons: Qt.LeftButton | Qt.RightButton
                onClicked: {
                    if (!VideoStreamer.cameraConnected) {
                        calibWindow.beginCorners()
                        return
                    }
                    clicks = clicks + 1
                    if (clicks == 1) {
                        calibrationMessage = ""
                        calibrationUnsaved = false
                    }
                    console.log(mouse.x, mouse.y)
                    var ringX = mouse.x - 25
                    var ringY = mouse.y + calibTopRect.height - 25
                    var dotX = mouse.x - 5
                    var dotY = mouse.y + calibTopRect.height - 5
                    var fx = mouse.x / calibImgWindow.width
                    var fy = mouse.y / calibImgWindow.height
                    if (clicks == 1) {
                        circle1.x = ringX
                        circle1.y = ringY
                        circle1.visible = true
                        circle11.x = dotX
                        circle11.y = dotY
                        circle11.visible = true
                        VideoStreamer.p1x = fx
                        VideoStreamer.p1y = fy
                    } else if (clicks == 2) {
                        circle2.x = ringX
                        circle2.y = ringY
                        circle2.visible = true
                        circle21.x = dotX
                        circle21.y = dotY
                        circle21.visible = true
                        VideoStreamer.p2x = fx
                        VideoStreamer.p2y = fy
                    } else if (clicks == 3) {
                        circle3.x = ringX
                        circle3.y = ringY
                        circle3.visible = true
                        circle31.x = dotX
                        circle31.y = dotY
                        circle31.visible = true
                        VideoStreamer.p3x = fx
                        VideoStreamer.p3y = fy
                    } else if (clicks == 4) {
                        circle4.x = ringX
                        circle4.y = ringY
                        circle4.visible = true
                        circle41.x = dotX
                        circle41.y = dotY
                        circle41.visible = true
                        VideoStreamer.p4x = fx
                        VideoStreamer.p4y = fy
                    }
                }
            }
        }

        Connections {
            target: calibrateImageProvider
            function onImageChanged() {
                calibrateImage.reload()
            }
        }

        Connections {
            target: VideoStreamer
            function onCalibrationFinished(ok, reason) {
                calibrationMessage = ok ? "" : reason
                if (ok) {
                    return
                }
                if (reason.indexOf("Corners refused") === 0) {
                    calibWindow.beginCorners()
                } else {
                    calibrationUnsaved = true
                }
            }
        }

        Rectangle {
            id: circle1
            width: 50
            height: 50
            radius: 25
            color: "transparent"
            border.color: "#335AFB"
            border.width: 7
            visible: false
        }
        Rectangle {
            id: circle11
            width: 10
            height: 10
            radius: 5
            color: "#EB5142"
            visible: false
        }
        Rectangle {
            id: circle2
            width: 50
            height: 50
            radius: 25
            color: "transparent"
            border.color: "#335AFB"
            border.width: 7
            visible: false
        }
        Rectangle {
            id: circle21
            width: 10
            height: 10
            radius: 5
            color: "#EB5142"
            visible: false
        }
        Rectangle {
            id: circle3
            width: 50
            height: 50
            radius: 25
            color: "transparent"
            border.color: "#335AFB"
            border.width: 7
            visible: false
        }
        Rectangle {
            id: circle31
            width: 10
            height: 10
            radius: 5
            color: "#EB5142"
            visible: false
        }
        Rectangle {
            id: circle4
            width: 50
            height: 50
            radius: 25
            color: "transparent"
            border.color: "#335AFB"
            border.width: 7
            visible: false
        }
        Rectangle {
            id: circle41
            width: 10
            height: 10
            radius: 5
            color: "#EB5142"
            visible: false
        }

        Rectangle {
            anchors.fill: parent
            color: "transparent"
            border.width: 1
            border.color: "#828282"
        }
    }
}
