pragma Singleton
import QtQuick

// The window's colours and type sizes. The window keeps the light scheme whatever the
// desktop's, so every colour here is fixed.
QtObject {
    readonly property color ink: Qt.rgba(0.14, 0.23, 0.23, 1)
    readonly property color accent: Qt.rgba(0.15, 0.43, 0.37, 1)
    readonly property color paper: Qt.rgba(0.97, 0.96, 0.93, 1)
    /// Text of less weight: captions, hints, counts. Dark enough for 4.5:1 on every background it
    /// is drawn on, the current row's tint included.
    readonly property color secondary: Qt.rgba(0.14, 0.23, 0.23, 0.74)
    readonly property color divider: Qt.rgba(0.14, 0.23, 0.23, 0.12)
    readonly property color red: "#d9382c"
    readonly property color orange: "#f08a00"
    /// Marks what needs attention, dark enough to read as text on white.
    readonly property color warning: "#b35c00"

    readonly property int body: 13
    readonly property int caption: 11
    readonly property int headline: 13

    readonly property string serif: "serif"
    readonly property string mono: "monospace"

    /// Two texts name the desktop the program was first made for; elsewhere they must not.
    readonly property bool macOS: Qt.platform.os === "osx"

}
