pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Controls.Fusion
import Quorbel

// The program's one window: the menus and their commands, and the content view.
ApplicationWindow {
    id: root

    objectName: "mainWindow"
    title: "Quorbel"
    width: 1080
    height: 740
    minimumWidth: 880
    minimumHeight: 640 + (menuBar ? menuBar.implicitHeight : 0)
    visible: true
    color: Theme.paper
    font.pixelSize: Theme.body

    palette.window: Theme.paper
    palette.windowText: Theme.ink
    palette.base: "white"
    palette.alternateBase: "#f4f3ef"
    palette.text: Theme.ink
    palette.button: "white"
    palette.buttonText: Theme.ink
    palette.brightText: "white"
    palette.highlight: Theme.accent
    palette.highlightedText: "white"
    palette.light: "white"
    palette.midlight: "#eceae4"
    palette.mid: "#c9c7c0"
    palette.dark: "#a3a19a"
    palette.shadow: "#55524a"
    palette.placeholderText: Theme.secondary
    palette.toolTipBase: "white"
    palette.toolTipText: Theme.ink
    palette.link: Theme.accent

    onVisibleChanged: if (visible) App.windowShown()
    // Closing the window quits, after the controller has filed a running take and saved.
    onClosing: close => close.accepted = App.mayQuit()

    Command {
        id: newTestCommand
        objectName: "commandNewRecordingTest"
        text: "New Recording Test"
        enabled: !RecorderModel.busy && !RecorderModel.exporting
        onPerform: RecorderModel.startRecordingTest()
    }
    Command {
        id: importCommand
        objectName: "commandImportScript"
        text: "Import Script…"
        keys: "Ctrl+I"
        enabled: !RecorderModel.busy && !RecorderModel.exporting
        onPerform: RecorderModel.importScript()
    }
    Command {
        id: openCommand
        objectName: "commandOpenSession"
        text: "Open Session…"
        keys: "Ctrl+O"
        enabled: !RecorderModel.busy && !RecorderModel.exporting
        onPerform: RecorderModel.openSession()
    }
    Command {
        id: quitCommand
        objectName: "commandQuit"
        text: "Quit"
        keys: "Ctrl+Q"
        onPerform: App.quit()
    }
    Command {
        id: recordCommand
        objectName: "commandRecord"
        text: RecorderModel.recording ? "Stop & Save" : "Record"
        keys: "Ctrl+R"
        // Stays enabled while recording: the same item and keys stop the take.
        enabled: RecorderModel.hasCurrent && !RecorderModel.requestingPermission
                 && !RecorderModel.checkingMicrophone && !RecorderModel.exporting
        onPerform: RecorderModel.toggleRecord()
    }
    Command {
        id: playCommand
        objectName: "commandPlayStop"
        text: "Play / Stop"
        keys: "Ctrl+P"
        enabled: RecorderModel.hasChosen && !RecorderModel.busy
        onPerform: RecorderModel.togglePlayback()
    }
    Command {
        id: nextCommand
        objectName: "commandNextLine"
        text: "Next Line"
        keys: "Ctrl+Right"
        enabled: !RecorderModel.busy
        onPerform: RecorderModel.next()
    }
    Command {
        id: previousCommand
        objectName: "commandPreviousLine"
        text: "Previous Line"
        keys: "Ctrl+Left"
        enabled: !RecorderModel.busy
        onPerform: RecorderModel.previous()
    }
    Command {
        id: copyLineCommand
        objectName: "commandCopyLine"
        text: "Copy Line Text"
        keys: "Ctrl+Shift+C"
        enabled: RecorderModel.hasCurrent
        onPerform: RecorderModel.copyLine()
    }
    Command {
        id: deleteCommand
        objectName: "commandDeleteTake"
        text: "Delete Selected Take…"
        enabled: !RecorderModel.busy && RecorderModel.hasChosen && !RecorderModel.exporting
        onPerform: RecorderModel.confirmDeleteTake()
    }
    Command {
        id: startOverCommand
        objectName: "commandStartOver"
        text: "Start Over…"
        enabled: !RecorderModel.busy && RecorderModel.hasSession && !RecorderModel.exporting
        onPerform: RecorderModel.confirmStartOver()
    }
    Command {
        id: exportCommand
        objectName: "commandExport"
        text: "Export Recordings…"
        keys: "Ctrl+E"
        enabled: !RecorderModel.busy && !RecorderModel.exporting && RecorderModel.recordedCount > 0
        onPerform: exportDialog.open()
    }

    Command {
        id: shortcutsCommand
        objectName: "commandKeyboardShortcuts"
        text: "Keyboard Shortcuts"
        onPerform: shortcutsSheet.open()
    }
    Command {
        id: aboutCommand
        objectName: "commandAbout"
        text: "About Quorbel"
        onPerform: aboutDialog.open()
    }

    menuBar: MenuBar {
        id: mainMenus
        objectName: "menuBar"

        delegate: MenuBarItem {
            // Named without the mnemonic's marker.
            Accessible.name: text.replace("&", "")
            Accessible.role: Accessible.MenuItem
        }

        Menu {
            objectName: "fileMenu"
            title: "&File"

            MenuCommand { command: newTestCommand }
            MenuCommand { command: importCommand }
            MenuCommand { command: openCommand }
            MenuSeparator {}
            MenuCommand { command: quitCommand }
        }
        Menu {
            objectName: "recordingMenu"
            title: "&Recording"

            MenuCommand { command: recordCommand }
            MenuCommand { command: playCommand }
            MenuCommand { command: nextCommand }
            MenuCommand { command: previousCommand }
            MenuCommand { command: copyLineCommand }
            MenuSeparator {}
            MenuCommand { command: deleteCommand }
            MenuCommand { command: startOverCommand }
            MenuSeparator {}
            MenuCommand { command: exportCommand }
        }
        Menu {
            objectName: "helpMenu"
            title: "&Help"

            MenuCommand { command: shortcutsCommand }
            MenuCommand { command: aboutCommand }
        }
    }

    /// Export…, from the menu or the header's button: the options first.
    function askExport() {
        exportDialog.open()
    }

    ExportDialog {
        id: exportDialog
    }

    ContentView {
        anchors.fill: parent
        nextCommand: nextCommand
        previousCommand: previousCommand
    }

    ShortcutsSheet {
        id: shortcutsSheet
        menus: mainMenus.menus
    }
    AboutDialog {
        id: aboutDialog
    }
}
