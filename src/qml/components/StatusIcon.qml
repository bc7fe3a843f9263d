import QtQuick 2.15

// The icon of a status: "good" (green check), "uncertain" (yellow alert), "error" (red
// octagon); nothing for an empty state.
Image {
    property string state: ""
    property real size: 22

    visible: state !== ""
    source: state === "good" ? "qrc:/icons/check.svg"
          : state === "error" ? "qrc:/icons/error.svg"
          : state === "uncertain" ? "qrc:/icons/alert.svg" : ""
    sourceSize.width: size
    sourceSize.height: size
    fillMode: Image.PreserveAspectFit
}
