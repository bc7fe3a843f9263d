import QtQuick 2.15
import QtTest 1.15
import "qrc:/ViewerRules.js" as ViewerRules
import "qrc:/NightFlowRules.js" as NightFlowRules

// The night-flow table speaks the chart's flow display, and the leak marks stay inside the view.
TestCase {
    name: "NightFlowRules"

    function test_flowMatchesTheChartsHourlyFlow_data() {
        return [
            { tag: "gallons per minute", mode: 1, gpp: 0.25, pulses: 89, unit: "Gallons per Minute", value: "0.371" },
            { tag: "gallons per second", mode: 2, gpp: 0.25, pulses: 7200, unit: "Gallons per Second", value: "0.5" },
            { tag: "events chosen", mode: 0, gpp: 0.25, pulses: 89, unit: "Revolutions per Hour", value: "89" },
            { tag: "no readings", mode: 1, gpp: NaN, pulses: 0, unit: "Revolutions per Hour", value: "0" }
        ]
    }
    function test_flowMatchesTheChartsHourlyFlow(row) {
        var d = ViewerRules.display(row.mode, row.gpp)
        compare(NightFlowRules.unitLabel(d), row.unit)
        compare(NightFlowRules.flowValue(row.pulses, d), row.value)
        // What the chart says when hovering a one-hour bar with that many pulses.
        if (NightFlowRules.showsVolume(d))
            verify(ViewerRules.intervalHeader(row.pulses, 3600, d).indexOf("\u2248" + row.value + " " + row.unit) >= 0)
    }

    function test_markSpan() {
        var view = { left: 100, right: 300, count: 200 }
        compare(NightFlowRules.markSpan(150, 250, view), { from: 0.25, to: 0.75 })
        compare(NightFlowRules.markSpan(20, 150, view), { from: 0, to: 0.25 })
        compare(NightFlowRules.markSpan(250, 1e9, view), { from: 0.75, to: 1 })
        compare(NightFlowRules.markSpan(0, 100, view), null)
        compare(NightFlowRules.markSpan(300, 400, view), null)
        compare(NightFlowRules.markSpan(150, 250, { left: 0, right: 0, count: 0 }), null)
        compare(NightFlowRules.markSpan(NaN, 250, view), null)
    }
}
