pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import QtQuick.Templates as T
import Quorbel

// The window's own alert: a card over the dimmed window, modal (no click, menu or key
// equivalent reaches the window behind it), with a title and a message shown exactly as
// written, and its buttons at the bottom right.
Dialog {
    id: root

    /// The title's and the message's labels, for naming them.
    property alias titleLabel: heading
    property alias messageLabel: body
    property alias message: body.text
    property alias buttons: row.data

    anchors.centerIn: T.Overlay.overlay
    width: 420
    modal: true
    closePolicy: Popup.CloseOnEscape
    padding: 22
    topPadding: 8
    bottomPadding: 18

    T.Overlay.modal: Rectangle {
        color: Qt.rgba(0.14, 0.23, 0.23, 0.18)
    }

    background: Rectangle {
        radius: 12
        color: "white"
        border.width: 1
        border.color: Qt.rgba(0.14, 0.23, 0.23, 0.16)
    }

    header: Label {
        id: heading

        text: root.title
        textFormat: Text.PlainText
        topPadding: 20
        leftPadding: 22
        rightPadding: 22
        font.pixelSize: 15
        font.weight: Font.DemiBold
        color: Theme.ink
        wrapMode: Text.Wrap
    }

    Label {
        id: body

        width: root.availableWidth
        textFormat: Text.PlainText
        wrapMode: Text.Wrap
        color: Theme.ink
    }

    footer: Item {
        implicitHeight: row.implicitHeight + 20

        RowLayout {
            id: row

            anchors.right: parent.right
            anchors.rightMargin: 22
            anchors.top: parent.top
            spacing: 8
        }
    }
}
