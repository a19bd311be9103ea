pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import Quorbel
import "linekeys.js" as LineKeys

// The sidebar: the brand, the import and open buttons, the session's progress, the search,
// the list of lines, and the session folder.
Rectangle {
    id: root

    required property Command nextCommand
    required property Command previousCommand

    objectName: "sidebar"
    color: "white"
    clip: true

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 18
        spacing: 16

        RowLayout {
            Layout.topMargin: 12
            spacing: 10

            Icon {
                name: "waveform.circle.fill"
                color: Theme.accent
                size: 32
            }
            Label {
                text: "Quorbel"
                font.pixelSize: 15
                font.weight: Font.DemiBold
                color: Theme.ink
                wrapMode: Text.NoWrap
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 8

            ActionButton {
                objectName: "sidebarImportButton"
                Layout.fillWidth: true
                text: "Import script"
                symbol: "plus"
                enabled: !RecorderModel.busy
                onClicked: RecorderModel.importScript()
            }
            ActionButton {
                objectName: "sidebarOpenButton"
                symbol: "folder"
                tip: "Open a saved session"
                Accessible.name: "Open session"
                enabled: !RecorderModel.busy
                onClicked: RecorderModel.openSession()
            }
        }

        ColumnLayout {
            visible: RecorderModel.hasSession
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 16

            Rectangle {
                Layout.fillWidth: true
                implicitHeight: 1
                color: Theme.divider
            }

            ColumnLayout {
                Layout.fillWidth: true
                spacing: 8

                Label {
                    objectName: "progressTitle"
                    Layout.fillWidth: true
                    text: RecorderModel.title
                    textFormat: Text.PlainText
                    font.pixelSize: Theme.headline
                    font.weight: Font.DemiBold
                    color: Theme.ink
                    wrapMode: Text.Wrap
                    maximumLineCount: 3
                    elide: Text.ElideRight
                }
                RowLayout {
                    Layout.fillWidth: true

                    Label {
                        objectName: "progressText"
                        Layout.fillWidth: true
                        text: RecorderModel.recordedCount + " of " + RecorderModel.lineCount + " recorded"
                        font.pixelSize: Theme.caption
                        color: Theme.secondary
                    }
                    Label {
                        objectName: "progressPercent"
                        text: (RecorderModel.lineCount > 0
                               ? Math.trunc(RecorderModel.recordedCount * 100 / RecorderModel.lineCount)
                               : 0) + "%"
                        font.pixelSize: Theme.caption
                        color: Theme.secondary
                    }
                }
                ProgressBar {
                    id: progress

                    objectName: "progressBar"
                    Layout.fillWidth: true
                    from: 0
                    to: Math.max(1, RecorderModel.lineCount)
                    value: RecorderModel.recordedCount
                    Accessible.name: "Recorded lines"

                    background: Rectangle {
                        implicitHeight: 6
                        radius: 3
                        color: Qt.rgba(0.14, 0.23, 0.23, 0.1)
                    }
                    contentItem: Item {
                        implicitHeight: 6

                        Rectangle {
                            width: progress.visualPosition * parent.width
                            height: parent.height
                            radius: 3
                            color: Theme.accent
                        }
                    }
                }
            }

            TextField {
                id: search

                objectName: "searchField"
                Layout.fillWidth: true
                placeholderText: "Find a line"
                Accessible.name: "Find a line"
                text: RecorderModel.search
                onTextEdited: RecorderModel.search = text
                leftPadding: 8
                background: Rectangle {
                    implicitHeight: 26
                    radius: 6
                    color: "white"
                    border.width: search.activeFocus ? 2 : 1
                    border.color: search.activeFocus ? Theme.accent : Qt.rgba(0.14, 0.23, 0.23, 0.22)
                }
                Keys.onPressed: event => LineKeys.handOn(event, root.previousCommand, root.nextCommand)
            }

            FilterSwitch {
                objectName: "missingOnlySwitch"
                text: "Show unrecorded only"
                active: RecorderModel.missingOnly
                onChangeRequested: active => RecorderModel.missingOnly = active
            }
            FilterSwitch {
                objectName: "attentionOnlySwitch"
                text: "Needs attention"
                active: RecorderModel.attentionOnly
                onChangeRequested: active => RecorderModel.attentionOnly = active
            }

            ListView {
                id: list

                /// Brings the current line to the middle of the list, unless it is filtered out.
                function centreCurrent(animated: bool) {
                    scroll.stop()
                    const row = RecorderModel.lines.currentRow
                    if (row < 0)
                        return
                    // Not laid out yet: done once it has its height.
                    if (height <= 0) {
                        centrePending = true
                        return
                    }
                    const from = contentY
                    positionViewAtIndex(row, ListView.Center)
                    const to = contentY
                    if (!animated || from === to)
                        return
                    contentY = from
                    scroll.to = to
                    scroll.start()
                }

                property bool centrePending: false

                objectName: "lineList"
                Layout.fillWidth: true
                Layout.fillHeight: count > 0
                clip: true
                spacing: 5
                reuseItems: true
                boundsBehavior: Flickable.StopAtBounds
                model: RecorderModel.lines
                Accessible.name: "Lines"
                Accessible.role: Accessible.List
                // One stop for Tab, however many lines: the keys below move through them.
                activeFocusOnTab: true
                Keys.onPressed: event => {
                    const row = RecorderModel.lines.currentRow
                    const page = Math.max(1, Math.floor(height / 72))
                    const moves = {
                        [Qt.Key_Up]: row - 1,
                        [Qt.Key_Down]: row + 1,
                        [Qt.Key_PageUp]: row - page,
                        [Qt.Key_PageDown]: row + page,
                        [Qt.Key_Home]: 0,
                        [Qt.Key_End]: count - 1
                    }
                    if (event.modifiers !== Qt.NoModifier || !(event.key in moves) || count === 0)
                        return
                    event.accepted = true
                    // From a current line filtered out, the first key goes to the first row.
                    const to = row < 0 ? 0 : Math.max(0, Math.min(count - 1, moves[event.key]))
                    if (!RecorderModel.busy)
                        RecorderModel.select(RecorderModel.lines.lineIdAt(to))
                }

                ScrollBar.vertical: ScrollBar {
                    objectName: "lineListScrollBar"
                    // Shown whenever there is more to scroll to, not only while scrolling.
                    policy: size > 0 && size < 1 ? ScrollBar.AlwaysOn : ScrollBar.AsNeeded
                }

                delegate: LineRow {
                    width: ListView.view.width - 10
                    enabled: !RecorderModel.busy
                    onClicked: RecorderModel.select(lineId)
                }

                NumberAnimation {
                    id: scroll

                    target: list
                    property: "contentY"
                    duration: 250
                    easing.type: Easing.InOutQuad
                }

                Connections {
                    target: RecorderModel.lines

                    function onCurrentMoved() {
                        Qt.callLater(list.centreCurrent, true)
                    }
                    // A new search starts at the current line when it matches, else at the top.
                    function onModelReset() {
                        scroll.stop()
                        list.positionViewAtBeginning()
                        Qt.callLater(list.centreCurrent, false)
                    }
                }

                Component.onCompleted: Qt.callLater(list.centreCurrent, false)
                onHeightChanged: {
                    if (centrePending && height > 0) {
                        centrePending = false
                        Qt.callLater(list.centreCurrent, false)
                    }
                }
            }

            Label {
                objectName: "noMatchingLines"
                visible: list.count === 0
                text: "No matching lines"
                font.pixelSize: Theme.caption
                color: Theme.secondary
            }

            Item {
                visible: list.count === 0
                Layout.fillHeight: true
            }
        }

        Item {
            visible: !RecorderModel.hasSession
            Layout.fillHeight: true
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: Theme.divider
        }

        ActionButton {
            objectName: "revealButton"
            plain: true
            text: "Show session folder"
            symbol: "folder.badge.gearshape"
            font.pixelSize: Theme.caption
            enabled: RecorderModel.hasFolder
            onClicked: RecorderModel.reveal()
        }

        Label {
            objectName: "footer"
            Layout.fillWidth: true
            fontSizeMode: Text.HorizontalFit
            minimumPixelSize: 8
            text: Theme.macOS ? "Saved on this Mac • No account needed"
                              : "Saved on this computer • No account needed"
            font.pixelSize: 10
            color: Theme.secondary
        }
    }
}
