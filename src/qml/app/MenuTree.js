.pragma library
// The menu bar's content: the fixed menus, then the current screen's own.
// An item: { text (with & before the mnemonic), icon, trigger, enabled (optional), children }.

function fixedMenus(advanced, capturing) {
    var logger = [
        { text: "&Variables", icon: "", trigger: "logger.variables" },
        { text: "&Flash Tool", icon: "", trigger: "logger.flashutility" }
    ]
    if (advanced)
        logger.splice(logger.length - 1, 0, { text: "S&tats", icon: "", trigger: "logger.stats" })
    var menus = [
        { text: "&File", children: [
            { text: "&Settings", icon: "", trigger: "settings.general" },
            { text: "&Open Log File", icon: "", trigger: "file.openlog" },
            { text: "&Library", icon: "", trigger: "file.library" },
            { text: "E&xit", icon: "", trigger: "file.exit" }
        ] },
        { text: "&Logger", children: logger }
    ]
    if (advanced) {
        menus.push({ text: "&Capture", children: [
            { text: capturing ? "Sto&p and Save" : "Sta&rt", icon: "", trigger: "capture.startstop" },
            { text: "A&bort", icon: "", trigger: "capture.abort", enabled: capturing }
        ] })
    }
    return menus
}

// Help stays the last menu, after the screen's own, where users look for it.
function helpMenu() {
    return { text: "&Help", children: [
        { text: "Save Support Bundle...", icon: "", trigger: "help.supportbundle" },
        { text: "&About", icon: "", trigger: "help.about" }
    ] }
}

function menuList(advanced, capturing, screenMenus) {
    var menus = fixedMenus(advanced, capturing)
    if (screenMenus && screenMenus.length)
        menus = menus.concat(screenMenus)
    menus.push(helpMenu())
    return menus
}

// The letter after the "&" that marks an item's mnemonic ("&&" is a literal "&"), lower case;
// "" when there is none.
function mnemonicOf(text) {
    var s = String(text === undefined || text === null ? "" : text)
    for (var i = 0; i < s.length - 1; ++i) {
        if (s[i] !== "&")
            continue
        if (s[i + 1] !== "&")
            return s[i + 1].toLowerCase()
        ++i
    }
    return ""
}
