.pragma library
// Text that did not come from this program (a logger's names, a server's strings, a path)
// shown next to our own markup: escaped, so it shows as the characters it is and never loads
// an image or follows a link.

function escape(text) {
    return String(text === undefined || text === null ? "" : text)
        .replace(/&/g, "&amp;")
        .replace(/</g, "&lt;")
        .replace(/>/g, "&gt;")
        .replace(/"/g, "&quot;")
}

// For places that guess between plain and styled text on their own (tool tips): the whole text
// escaped inside one tag, so it is always read as styled text and the escapes show as characters.
function styled(plainText) {
    return "<span>" + escape(plainText) + "</span>"
}
