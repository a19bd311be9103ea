pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import Quorbel
import "format.js" as Format
import "linekeys.js" as LineKeys

// The recording desk for the current line: where it stands in the script, its text in large
// type with its note, the takes, the transport, the status line and the microphone.
Item {
    id: root

    /// The line's text as rich text, so that its lines stand 9 apart and it can be selected.
    function richText(text: string): string {
        const escaped = text.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
        return "<p style=\"white-space: pre-wrap; -qt-line-height-type: line-distance; line-height: 9px;\">"
                + escaped + "</p>"
    }

    /// The commands Ctrl+Left and Ctrl+Right stand for while the script text has the focus.
    required property Command nextCommand
    required property Command previousCommand

    objectName: "lineView"

    ColumnLayout {
        anchors.fill: parent
        anchors.leftMargin: 32
        anchors.rightMargin: 32
        anchors.bottomMargin: 24
        spacing: 18

        RowLayout {
            Layout.fillWidth: true
            spacing: 8

            Label {
                objectName: "lineNumber"
                text: "LINE " + String(RecorderModel.index + 1).padStart(2, "0")
                font.pixelSize: 11
                font.bold: true
                font.letterSpacing: 1.5
                color: Theme.ink
            }
            Label {
                objectName: "lineCount"
                text: "/ " + RecorderModel.lineCount
                font.pixelSize: Theme.caption
                color: Theme.secondary
            }
            Item {
                Layout.fillWidth: true
            }
            ActionButton {
                objectName: "smallerTextButton"
                text: "A−"
                tip: "Smaller script text"
                Accessible.name: "Smaller script text"
                onClicked: RecorderModel.fontSize = Math.max(RecorderModel.fontSize - 2, 22)
            }
            ActionButton {
                objectName: "largerTextButton"
                text: "A+"
                tip: "Larger script text"
                Accessible.name: "Larger script text"
                onClicked: RecorderModel.fontSize = Math.min(RecorderModel.fontSize + 2, 46)
            }
        }

        Rectangle {
            objectName: "scriptCard"
            Layout.fillWidth: true
            Layout.fillHeight: true
            color: "white"
            radius: 18
            border.width: 1
            border.color: Qt.rgba(0.14, 0.23, 0.23, 0.08)

            ColumnLayout {
                anchors.fill: parent
                anchors.margins: 28
                spacing: 18

                RowLayout {
                    Layout.fillWidth: true

                    Label {
                        objectName: "lineId"
                        Layout.fillWidth: true
                        text: RecorderModel.currentId
                        textFormat: Text.PlainText
                        font.family: Theme.mono
                        font.pixelSize: 12
                        color: Theme.secondary
                        elide: Text.ElideRight
                    }
                    Icon {
                        name: RecorderModel.hasChosen ? "checkmark.circle.fill" : "circle"
                        color: Theme.accent
                        size: 13
                    }
                    Label {
                        objectName: "takeStatus"
                        text: RecorderModel.hasChosen ? "Take saved" : "Ready to record"
                        font.pixelSize: Theme.caption
                        color: Theme.accent
                    }
                }

                // The text in pages, of which only those in sight are laid out: a line of
                // megabytes comes up as fast as a short one. One page takes the height it needs,
                // up to what the card has; more fill the card (sized by what they hold, they
                // would all be laid out). The note stays in sight below.
                ListView {
                    id: pageList

                    objectName: "linePages"
                    Layout.fillWidth: true
                    Layout.fillHeight: count > 1
                    Layout.preferredHeight: count > 1 ? -1 : contentHeight
                    clip: true
                    boundsBehavior: Flickable.StopAtBounds
                    model: RecorderModel.currentPages
                    // Shown whenever there is more of the text to scroll to.
                    ScrollBar.vertical: ScrollBar {
                        policy: size > 0 && size < 1 ? ScrollBar.AlwaysOn : ScrollBar.AsNeeded
                    }
                    delegate: TextEdit {
                        required property int index
                        required property string modelData

                        objectName: index === 0 ? "lineText" : "linePage"
                        width: pageList.width - (pageList.ScrollBar.vertical.visible ? 14 : 0)
                        readOnly: true
                        selectByMouse: true
                        persistentSelection: false
                        wrapMode: TextEdit.Wrap
                        textFormat: TextEdit.RichText
                        text: root.richText(modelData)
                        font.family: Theme.serif
                        font.pixelSize: RecorderModel.fontSize
                        font.weight: Font.Medium
                        color: Theme.ink
                        selectionColor: Qt.rgba(0.15, 0.43, 0.37, 0.3)
                        selectedTextColor: Theme.ink
                        Keys.onPressed: event => LineKeys.handOn(event, root.previousCommand, root.nextCommand)
                        Accessible.role: Accessible.StaticText
                        Accessible.name: modelData
                    }
                }

                RowLayout {
                    objectName: "lineNote"
                    visible: RecorderModel.hasNote
                    Layout.fillWidth: true
                    spacing: 6

                    Icon {
                        Layout.alignment: Qt.AlignTop
                        Layout.topMargin: 2
                        name: "info.circle"
                        color: Theme.secondary
                        size: 15
                    }
                    Label {
                        objectName: "lineNoteText"
                        Layout.fillWidth: true
                        text: RecorderModel.currentNote
                        textFormat: Text.PlainText
                        font.pixelSize: 14
                        color: Theme.secondary
                        wrapMode: Text.Wrap
                    }
                }

                Item {
                    Layout.fillHeight: pageList.count <= 1
                }
            }
        }

        TakeCheckView {
            visible: !RecorderModel.recording && RecorderModel.hasChosen
            Layout.fillWidth: true
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.preferredHeight: 30
            spacing: 14

            Rectangle {
                objectName: "recordingDot"
                implicitWidth: 8
                implicitHeight: 8
                radius: 4
                color: RecorderModel.recording ? Theme.red : Qt.rgba(0.15, 0.43, 0.37, 0.25)
            }
            // Each digit in a cell of one width, as tabular figures stand: the time keeps still
            // while it counts.
            Row {
                id: elapsedTime

                readonly property string text: Format.time(RecorderModel.elapsed)

                objectName: "elapsedTime"
                Accessible.role: Accessible.StaticText
                Accessible.name: text

                TextMetrics {
                    id: digit

                    font.pixelSize: 19
                    font.weight: Font.Medium
                    text: "0"
                }
                Repeater {
                    model: elapsedTime.text.split("")

                    Label {
                        required property string modelData

                        width: modelData === ":" ? implicitWidth : Math.ceil(digit.advanceWidth)
                        horizontalAlignment: Text.AlignHCenter
                        text: modelData
                        textFormat: Text.PlainText
                        font: digit.font
                        color: Theme.ink
                    }
                }
            }

            LevelMeter {
                visible: RecorderModel.recording
                level: RecorderModel.level
                loud: RecorderModel.peak > -0.5
            }
            Label {
                objectName: "levelHint"
                visible: RecorderModel.recording
                text: RecorderModel.level < 0.08 ? "Speak into your microphone" : "Recording"
                font.pixelSize: Theme.caption
                color: Theme.secondary
            }

            TakePicker {
                visible: !RecorderModel.recording && RecorderModel.hasChosen
                Layout.maximumWidth: 220
                takes: RecorderModel.currentTakes
                chosenId: RecorderModel.chosenId
                onPicked: takeId => RecorderModel.selectTake(takeId)
            }
            ActionButton {
                objectName: "deleteTakeButton"
                visible: !RecorderModel.recording && RecorderModel.hasChosen
                symbol: "trash"
                tip: "Delete selected take…"
                Accessible.name: "Delete selected take"
                enabled: !RecorderModel.busy && !RecorderModel.exporting
                onClicked: RecorderModel.confirmDeleteTake()
            }

            Label {
                objectName: "formatText"
                visible: !RecorderModel.recording && !RecorderModel.hasChosen
                text: "48 kHz WAV • Mono"
                font.pixelSize: Theme.caption
                color: Theme.secondary
            }

            Item {
                Layout.fillWidth: true
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 12

            ActionButton {
                objectName: "recordButton"
                large: true
                prominent: true
                labelMinimumWidth: 175
                tint: RecorderModel.recording ? Theme.red : Theme.accent
                text: RecorderModel.recording ? "Stop & Save"
                    : RecorderModel.requestingPermission ? "Allow microphone…"
                    : RecorderModel.hasChosen ? "Record another take" : "Record line"
                symbol: RecorderModel.recording ? "stop.fill" : "mic.fill"
                enabled: !RecorderModel.requestingPermission && !RecorderModel.checkingMicrophone
                         && (RecorderModel.recording || !RecorderModel.exporting)
                onClicked: RecorderModel.toggleRecord()
            }
            ActionButton {
                objectName: "playButton"
                large: true
                text: RecorderModel.playing ? "Stop playback" : "Play take"
                symbol: RecorderModel.playing ? "stop.fill" : "play.fill"
                enabled: RecorderModel.hasChosen && !RecorderModel.busy
                onClicked: RecorderModel.togglePlayback()
            }
            Item {
                Layout.fillWidth: true
            }
            ActionButton {
                objectName: "previousButton"
                large: true
                symbol: "chevron.left"
                Accessible.name: "Previous line"
                enabled: !RecorderModel.busy && !(RecorderModel.hasSession && RecorderModel.index === 0)
                onClicked: RecorderModel.previous()
            }
            ActionButton {
                objectName: "nextButton"
                large: true
                text: RecorderModel.index + 1 === RecorderModel.lineCount ? "Finish" : "Next line →"
                enabled: !RecorderModel.busy
                onClicked: RecorderModel.next()
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.minimumHeight: 30
            Layout.alignment: Qt.AlignTop
            spacing: 2

            Label {
                objectName: "statusMessage"
                Layout.fillWidth: true
                Layout.alignment: Qt.AlignTop
                text: RecorderModel.message
                textFormat: Text.PlainText
                font.pixelSize: 12
                color: RecorderModel.allRecorded ? Theme.accent : Theme.secondary
                wrapMode: Text.Wrap
            }
            RowLayout {
                objectName: "exportProgress"
                visible: RecorderModel.exporting
                spacing: 10

                ProgressBar {
                    Layout.preferredWidth: 160
                    value: RecorderModel.exportFraction
                    Accessible.name: RecorderModel.exportProgress
                }
                Label {
                    text: RecorderModel.exportProgress
                    textFormat: Text.PlainText
                    font.pixelSize: 12
                    color: Theme.secondary
                }
                ActionButton {
                    objectName: "cancelExportButton"
                    text: "Cancel"
                    font.pixelSize: Theme.caption
                    onClicked: RecorderModel.cancelExport()
                }
            }
            Label {
                objectName: "checkingProgress"
                Layout.fillWidth: true
                visible: text !== ""
                text: RecorderModel.checking
                textFormat: Text.PlainText
                font.pixelSize: 12
                color: Theme.secondary
            }
            // Where the export went, to be selected and copied.
            TextEdit {
                objectName: "statusFolder"
                Layout.fillWidth: true
                visible: text !== ""
                readOnly: true
                selectByMouse: true
                text: RecorderModel.messageFolder
                textFormat: TextEdit.PlainText
                font.pixelSize: 12
                color: Theme.secondary
                selectionColor: Qt.rgba(0.15, 0.43, 0.37, 0.3)
                selectedTextColor: Theme.ink
                wrapMode: TextEdit.WrapAnywhere
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: Theme.divider
        }

        MicrophonePanel {
            Layout.fillWidth: true
        }
    }
}
