pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import Quorbel

// Export…: the profile and, for a converting one, its audio options, remembered from the last
// export; Export… (or Return) goes on to the folder panel, Escape cancels.
AlertDialog {
    id: root

    readonly property bool converting: profile.currentIndex === 1

    /// The options shown, as the controller takes them.
    function options(): var {
        return {
            "profile": converting ? "ljspeech" : "as-recorded",
            "rate": Number(rate.currentText),
            "bits": Number(bits.currentText),
            "trim": trim.checked ? padding.value / 10 : 0,
            "loudness": loudness.checked ? target.value : 0
        }
    }

    objectName: "exportDialog"
    title: "Export recordings"
    width: 460

    onAboutToShow: {
        const last = RecorderModel.exportOptions
        profile.currentIndex = last.profile === "ljspeech" ? 1 : 0
        rate.currentIndex = Math.max(0, rate.model.indexOf(String(last.rate)))
        bits.currentIndex = last.bits === 24 ? 1 : 0
        trim.checked = last.trim > 0
        padding.value = last.trim > 0 ? Math.round(last.trim * 10) : 2
        loudness.checked = last.loudness < 0
        target.value = last.loudness < 0 ? last.loudness : -23
    }

    GridLayout {
        width: root.availableWidth
        columns: 2
        columnSpacing: 12
        rowSpacing: 8

        Label { text: "Format"; color: Theme.ink }
        ComboBox {
            id: profile

            objectName: "exportProfile"
            Layout.fillWidth: true
            model: ["As recorded (48 kHz, 24-bit WAV copies)", "LJSpeech (for speech synthesis)"]
            Accessible.name: "Format"
        }
        Label { text: "Sample rate"; color: Theme.ink; visible: root.converting }
        ComboBox {
            id: rate

            objectName: "exportRate"
            visible: root.converting
            Layout.fillWidth: true
            model: ["48000", "44100", "24000", "22050", "16000"]
            displayText: Number(currentText).toLocaleString(Qt.locale("en_US"), "f", 0) + " Hz"
            Accessible.name: "Sample rate"
        }
        Label { text: "Bit depth"; color: Theme.ink; visible: root.converting }
        ComboBox {
            id: bits

            objectName: "exportBits"
            visible: root.converting
            Layout.fillWidth: true
            model: ["16", "24"]
            displayText: currentText + "-bit" + (currentIndex === 0 ? " (dithered)" : "")
            Accessible.name: "Bit depth"
        }
        CheckBox {
            id: trim

            objectName: "exportTrim"
            visible: root.converting
            text: "Trim silence to"
        }
        SpinBox {
            id: padding

            visible: root.converting
            enabled: trim.checked
            from: 0
            to: 20
            textFromValue: value => (value / 10).toFixed(1) + " s"
            valueFromText: text => Math.round(parseFloat(text) * 10)
            Accessible.name: "Silence kept around the speech"
        }
        CheckBox {
            id: loudness

            objectName: "exportLoudness"
            visible: root.converting
            text: "Loudness"
        }
        SpinBox {
            id: target

            visible: root.converting
            enabled: loudness.checked
            from: -36
            to: -10
            textFromValue: value => "−" + Math.abs(value) + " LUFS"
            valueFromText: text => -Math.abs(parseInt(text.replace("−", "-")))
            Accessible.name: "Loudness target"
        }
    }

    buttons: [
        ActionButton {
            objectName: "exportCancel"
            text: "Cancel"
            onClicked: root.close()
        },
        ActionButton {
            objectName: "exportGo"
            text: "Export…"
            prominent: true
            onClicked: root.go()
        }
    ]

    /// Closes, then exports: the folder panel opens over the window, not over this dialog.
    function go() {
        const chosen = options()
        close()
        Qt.callLater(() => RecorderModel.exportWith(chosen))
    }

    // Return reads as the default button, Export…, as in the alert; Escape cancels.
    onOpened: contentItem.forceActiveFocus()
    contentItem.Keys.onReturnPressed: go()
    contentItem.Keys.onEnterPressed: go()
}
