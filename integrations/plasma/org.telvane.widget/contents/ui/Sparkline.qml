import QtQuick 2.15

// An entry's kept values ([[unixTime, value], ...], oldest first) as a line
// across the `span` seconds up to `end`, scaled so that `low`..`high` fills
// the height: a flat series is a line across the middle, one point a dot.
Canvas {
    id: sparkline

    property var points: []
    property real low: 0
    property real high: 0
    property real end: 0
    property real span: 24 * 60 * 60
    property color color

    onPointsChanged: requestPaint()
    onColorChanged: requestPaint()
    onWidthChanged: requestPaint()
    onHeightChanged: requestPaint()

    onPaint: {
        const context = getContext("2d");
        context.reset();
        if (points.length === 0 || width <= 0 || height <= 0) {
            return;
        }
        const inset = 2;
        const x = time => inset + (width - 2 * inset) * Math.min(1, Math.max(0, (time - end + span) / span));
        const y = value => high > low ? inset + (height - 2 * inset) * (1 - (value - low) / (high - low))
                                      : height / 2;
        context.strokeStyle = color;
        context.fillStyle = color;
        if (points.length === 1) {
            context.beginPath();
            context.arc(x(points[0][0]), y(points[0][1]), 2, 0, 2 * Math.PI);
            context.fill();
            return;
        }
        context.lineWidth = 1.5;
        context.lineJoin = "round";
        context.beginPath();
        context.moveTo(x(points[0][0]), y(points[0][1]));
        for (let i = 1; i < points.length; ++i) {
            context.lineTo(x(points[i][0]), y(points[i][1]));
        }
        context.stroke();
    }
}
