import QtQuick

// One of the program's own symbols ("mic.fill", "trash", …), drawn in `color`.
Image {
    id: root

    required property string name
    property color color: "black"
    property real size: 16

    width: size
    height: size
    sourceSize: Qt.size(size, size)
    fillMode: Image.PreserveAspectFit
    source: name === "" ? "" : "image://icon/" + name + "/" + String(color).slice(1)
    Accessible.ignored: true
}
