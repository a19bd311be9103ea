.pragma library

// Ctrl+Left and Ctrl+Right move between lines wherever the keyboard focus is, as the menu
// commands they stand for. A text field or the script text would take them to move by words, so
// those hand them on from here, before they act on them. With Shift, or while the command
// cannot act, the keys are the field's: word selection and word moves keep working.
function handOn(event, previousCommand, nextCommand) {
    if (event.modifiers !== Qt.ControlModifier)
        return
    const command = event.key === Qt.Key_Right ? nextCommand
                  : event.key === Qt.Key_Left ? previousCommand : null
    if (command === null || !command.enabled)
        return
    event.accepted = true
    command.trigger()
}
