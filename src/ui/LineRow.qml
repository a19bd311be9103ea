pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import Quorbel

// One line in the sidebar's list: whether it has a take, its id and the start of its text,
// highlighted while it is the current line.
AbstractButton {
    id: root

    required property string lineId
    required property string lineText
    required property bool recorded
    required property bool current
    /// Its chosen take needs attention: clipped, too quiet, noisy, cut off, or not checkable.
    required property bool attention

    objectName: "lineRow:" + lineId
    text: lineText
    padding: 10
    hoverEnabled: true
    // The list takes the focus for all its rows.
    focusPolicy: Qt.NoFocus
    opacity: enabled ? 1 : 0.5
    Accessible.name: lineId + (attention ? " (needs attention)" : "") + ": " + lineText
    Accessible.role: Accessible.ListItem

    contentItem: RowLayout {
        spacing: 9

        Icon {
            objectName: "rowMark"
            Layout.alignment: Qt.AlignTop
            Layout.topMargin: 2
            name: root.attention ? "exclamationmark.triangle" : root.recorded ? "checkmark.circle.fill" : "circle"
            color: root.attention ? Theme.warning : root.recorded ? Theme.accent : Theme.secondary
            size: 14
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.alignment: Qt.AlignTop
            spacing: 4

            Label {
                Layout.fillWidth: true
                text: root.lineId
                textFormat: Text.PlainText
                font.family: Theme.mono
                font.pixelSize: 11
                font.weight: Font.DemiBold
                color: Theme.ink
                elide: Text.ElideRight
            }
            Label {
                objectName: "rowText"
                Layout.fillWidth: true
                text: root.lineText
                textFormat: Text.PlainText
                font.pixelSize: 12
                color: Theme.secondary
                wrapMode: Text.Wrap
                maximumLineCount: 2
                elide: Text.ElideRight
            }
        }
    }

    background: Rectangle {
        radius: 9
        color: root.current ? Qt.rgba(0.15, 0.43, 0.37, 0.10)
                            : (root.hovered && root.enabled ? Qt.rgba(0.14, 0.23, 0.23, 0.04) : "transparent")

        // Only Tab gives the list the focus, so its focus is always the keyboard's.
        FocusRing {
            anchors.margins: -2
            shown: root.current && root.ListView.view !== null && root.ListView.view.activeFocus
            radius: 11
        }
    }
}
