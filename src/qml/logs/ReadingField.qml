import QtQuick 2.15
import QtQuick.Controls 2.15

// A meter reading: a non-negative number, written when accepted or left.
TextField {
    id: field

    property string key
    property var metaData: ({})

    signal committed(var value)

    text: metaData[key] !== undefined ? String(metaData[key]) : ""
    validator: RegularExpressionValidator { regularExpression: /^$|^[0-9]*\.?[0-9]*$/ }
    onEditingFinished: {
        if (text !== (metaData[key] !== undefined ? String(metaData[key]) : ""))
            committed(text)
    }
}
