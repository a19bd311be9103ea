pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import Quorbel
import "format.js" as Format

// The takes of a line, "Take 2 · 0:07", showing the chosen one; picking another asks for it.
RowLayout {
    id: root

    /// The line's takes, oldest first, each with its "id" and "duration".
    required property var takes
    required property string chosenId

    /// The person picked the take with this id.
    signal picked(string takeId)

    spacing: 6

    Label {
        text: "Take"
        color: Theme.secondary
        font.pixelSize: Theme.caption
    }

    ComboBox {
        id: box

        objectName: "takePicker"
        Layout.fillWidth: true
        Accessible.name: "Take"
        textRole: "label"
        valueRole: "id"
        model: root.takes.map((take, i) => ({
            id: take.id,
            label: "Take " + (i + 1) + " · " + Format.time(take.duration)
        }))
        currentIndex: root.takes.findIndex(take => take.id === root.chosenId)
        delegate: ItemDelegate {
            required property int index
            required property var modelData

            objectName: "takeEntry:" + index
            width: box.width
            // The chosen take carries a check mark; the highlight follows the pointer and keys.
            text: (index === box.currentIndex ? "✓ " : "") + modelData.label
            highlighted: box.highlightedIndex === index
        }
        FocusRing {
            shown: box.visualFocus
            radius: 7
        }
        onActivated: index => {
            root.picked(valueAt(index))
            // The choice shows once the controller has made it.
            currentIndex = Qt.binding(() => root.takes.findIndex(take => take.id === root.chosenId))
        }
    }
}
