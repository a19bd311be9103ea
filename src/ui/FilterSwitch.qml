import QtQuick
import QtQuick.Controls.Fusion
import Quorbel

// A switch of the sidebar's filter: a small track in the accent colour when on, its title
// beside it. `active` is what the controller holds; a toggle asks the controller to change it.
Switch {
    id: root

    property bool active
    signal changeRequested(bool active)

    Accessible.name: text
    Accessible.role: Accessible.CheckBox
    font.pixelSize: Theme.caption
    enabled: !RecorderModel.busy
    opacity: enabled ? 1 : 0.42
    checked: active
    spacing: 8
    leftPadding: 0
    focusPolicy: Qt.TabFocus
    indicator: Rectangle {
        x: root.leftPadding
        y: (root.height - height) / 2
        implicitWidth: 30
        implicitHeight: 17
        radius: height / 2
        color: root.checked ? Theme.accent : Qt.rgba(0.14, 0.23, 0.23, 0.18)

        Rectangle {
            x: root.checked ? parent.width - width - 2 : 2
            y: 2
            width: parent.height - 4
            height: width
            radius: width / 2
            color: "white"

            Behavior on x {
                NumberAnimation { duration: 120 }
            }
        }
        FocusRing {
            shown: root.visualFocus
            radius: parent.radius + 4
        }
    }
    onToggled: {
        changeRequested(checked)
        checked = Qt.binding(() => root.active)
    }
}
