.pragma library
// What each trigger opens. The window acts on "window", "dialog", "popup" and "screen" routes;
// the shared state acts on the "state" ones (capture), screens on their own triggers.
//   dialog: a settings-type dialog titled `title` around `document`
//   popup:  a dialog document shown as it is, with `properties`
//   screen: `document` pushed on the screen stack; with `offer`, that popup is shown first
//           while the logger's firmware answers (it decides whether to go on); with `single`,
//           never while a screen of that object name is on the stack
//   window: handled by the window itself (`action`)

var routes = {
    "file.openlog": { kind: "window", action: "openLog" },
    "file.exit": { kind: "window", action: "exit" },
    "file.library": { kind: "screen", document: "LibraryScreen.qml" },
    "help.supportbundle": { kind: "window", action: "saveSupportBundle" },
    "help.about": { kind: "popup", document: "AboutDialog.qml", properties: {} },
    "screen.pop": { kind: "window", action: "pop" },
    "settings.general": { kind: "dialog", title: "Software Settings", document: "GeneralConfigScreen.qml" },
    "logger.variables": { kind: "dialog", title: "Logger Variables", document: "VariablesScreen.qml" },
    "logger.stats": { kind: "dialog", title: "Logger Stats", document: "StatsListView.qml" },
    "logger.flashutility": { kind: "screen", document: "FlashUtilityScreen.qml", offer: "FlashBackupOffer.qml",
                             single: "flashUtilityScreen" },
    "logger.flashutility.now": { kind: "screen", document: "FlashUtilityScreen.qml", single: "flashUtilityScreen" },
    "action.asksync": { kind: "popup", document: "ClockSyncDialog.qml", properties: {} },
    "action.askeepromfix": { kind: "popup", document: "AdapterUpdateDialog.qml", properties: {} },
    "action.showEepromSuccess": { kind: "popup", document: "AdapterResultDialog.qml", properties: { success: true } },
    "action.showEepromFailure": { kind: "popup", document: "AdapterResultDialog.qml", properties: { success: false } },
    "action.showRepairFailure": { kind: "popup", document: "RepairFailedDialog.qml", properties: {} },
    "capture.startstop": { kind: "state" },
    "capture.abort": { kind: "state" }
}

// The route of a trigger, or null for triggers the window does not know.
function route(triggerId) {
    return routes.hasOwnProperty(triggerId) ? routes[triggerId] : null
}

// The popup to show before a screen route's document, or "" to push the document at once: the
// offer to back up the variables before the flash tool needs a logger whose firmware answers.
function offerBefore(route, firmwareReady) {
    return route && route.kind === "screen" && route.offer && firmwareReady ? route.offer : ""
}
