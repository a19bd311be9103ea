pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import Quorbel
import "format.js" as Format

// Everything the window shows outside the menus: the sidebar, the header, and below it the
// line view while there is a current line, else the welcome panel; the error alert and the
// confirmation dialog.
Item {
    id: root

    objectName: "contentView"

    /// The commands Ctrl+Left and Ctrl+Right stand for in the search field and the script text.
    required property Command nextCommand
    required property Command previousCommand

    readonly property color ink: Theme.ink
    readonly property color accent: Theme.accent
    readonly property color paper: Theme.paper

    /// Seconds as minutes and two-digit seconds, "62:05".
    function time(seconds: real): string {
        return Format.time(seconds)
    }

    implicitWidth: 880
    implicitHeight: 640

    RowLayout {
        anchors.fill: parent
        spacing: 0

        Sidebar {
            Layout.preferredWidth: 254
            Layout.fillHeight: true
            nextCommand: root.nextCommand
            previousCommand: root.previousCommand
        }

        Rectangle {
            Layout.fillHeight: true
            implicitWidth: 1
            color: Theme.divider
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.fillHeight: true
            color: root.paper

            ColumnLayout {
                anchors.fill: parent
                spacing: 0

                Header {
                    Layout.fillWidth: true
                }

                LineView {
                    visible: RecorderModel.hasCurrent
                    nextCommand: root.nextCommand
                    previousCommand: root.previousCommand
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                }

                WelcomePanel {
                    visible: !RecorderModel.hasCurrent
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                }
            }
        }
    }

    ErrorAlert {}
    ConfirmDialog {}
}
