import QtQuick 2.15
import QtQuick.LocalStorage 2.15

// Named JSON values in the program's local-storage database.
QtObject {
    id: storage
    property string databaseName: "Gannet"
    property var database: null

    function open() {
        if (database === null) {
            database = LocalStorage.openDatabaseSync(databaseName, "1.0", "variables", 1000000)
            database.transaction(function (tx) {
                tx.executeSql("CREATE TABLE IF NOT EXISTS variable(name TEXT PRIMARY KEY, value TEXT)")
            })
        }
        return database
    }

    function setItem(name, value) {
        try {
            open().transaction(function (tx) {
                tx.executeSql("INSERT OR REPLACE INTO variable VALUES (?, ?)", [name, JSON.stringify(value)])
            })
            return true
        } catch (e) {
            console.warn("Storage: could not save " + name + ": " + e)
            return false
        }
    }

    function getItem(name) {
        var text = null
        try {
            open().readTransaction(function (tx) {
                var rows = tx.executeSql("SELECT value FROM variable WHERE name = ?", [name]).rows
                if (rows.length > 0)
                    text = rows.item(0).value
            })
        } catch (e) {
            console.warn("Storage: could not read " + name + ": " + e)
            return null
        }
        if (text === null)
            return null
        try {
            return JSON.parse(text)
        } catch (e) {
            console.warn("Storage: " + name + " is not valid JSON")
            return null
        }
    }

    function clear() {
        try {
            open().transaction(function (tx) {
                tx.executeSql("DROP TABLE IF EXISTS variable")
                tx.executeSql("CREATE TABLE variable(name TEXT PRIMARY KEY, value TEXT)")
            })
            return true
        } catch (e) {
            console.warn("Storage: could not clear: " + e)
            return false
        }
    }
}
