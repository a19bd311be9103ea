pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import Quorbel

// A push button with an optional symbol before its title: filled in its tint when
// `prominent`, framed otherwise, or bare text when `plain`.
Button {
    id: root

    property string symbol
    property color tint: Theme.accent
    property bool prominent: false
    property bool plain: false
    property bool large: false
    property string tip
    /// The title's room, so the button keeps its width when the title changes.
    property real labelMinimumWidth: 0

    property color foreground: prominent ? "white" : Theme.ink

    font.pixelSize: large ? 14 : Theme.body
    leftPadding: plain ? 2 : (large ? 16 : 10)
    rightPadding: leftPadding
    topPadding: plain ? 2 : (large ? 8 : 4)
    bottomPadding: topPadding
    hoverEnabled: true
    opacity: enabled ? 1 : 0.42
    // Focus comes from Tab only: a button a click left focused would take the next Space.
    focusPolicy: Qt.TabFocus

    // A screen reader names a button by its title unless it is given a name of its own.
    Accessible.name: text
    Accessible.role: Accessible.Button
    ToolTip.visible: tip !== "" && hovered
    ToolTip.text: tip
    ToolTip.delay: 600

    contentItem: Item {
        implicitWidth: Math.max(row.implicitWidth, root.labelMinimumWidth)
        implicitHeight: row.implicitHeight

        RowLayout {
            id: row
            anchors.centerIn: parent
            spacing: 6

            Icon {
                visible: root.symbol !== ""
                name: root.symbol
                color: root.foreground
                size: root.large ? 17 : 15
            }
            Label {
                visible: root.text !== ""
                text: root.text
                font: root.font
                color: root.foreground
            }
        }
    }

    background: Item {
        implicitHeight: root.large ? 36 : 26

        Rectangle {
            id: face

            anchors.fill: parent
            visible: !root.plain
            radius: root.large ? 8 : 6
            color: root.prominent ? (root.down ? Qt.darker(root.tint, 1.2) : root.tint)
                                  : (root.down ? "#ebe9e3" : "white")
            border.width: root.prominent ? 0 : 1
            border.color: Qt.rgba(0.14, 0.23, 0.23, root.hovered ? 0.3 : 0.2)
        }
        FocusRing {
            shown: root.visualFocus
            radius: face.radius + 4
        }
    }
}
