// One instrument's history: the envelope of its readings over a range (the
// lowest and highest reading of each column, as the history viewer draws
// them), its events as markers and as a list, zoomable by dragging.
'use strict';

const name = decodeURIComponent(location.pathname.slice('/instrument/'.length));
document.getElementById('name').textContent = name;
document.title = name + ' – Frostgauge';
let chart = null;
let events = [];
let range = null;
// The temperature axis: logarithmic for a cool-down, remembered in this browser.
let logScale = localStorage.getItem('frostgauge.logScale') === 'true';

function query(fromMs, toMs) {
    return 'instrument=' + encodeURIComponent(name) + '&from=' + Math.round(fromMs) + '&to=' + Math.round(toMs);
}

function drawEvents(canvas, area, graph) {
    canvas.save();
    for (const event of events) {
        const x = graph.toDomXCoord(event.time_ms);
        if (x < area.x || x > area.x + area.w) continue;
        canvas.strokeStyle = event.kind.startsWith('alarm') ? '#c62828' : '#888';
        canvas.setLineDash([4, 3]);
        canvas.beginPath();
        canvas.moveTo(x, area.y);
        canvas.lineTo(x, area.y + area.h);
        canvas.stroke();
    }
    canvas.restore();
}

function listEvents() {
    const body = document.querySelector('#events tbody');
    body.replaceChildren(...events.slice().reverse().map(event => {
        const row = document.createElement('tr');
        for (const text of [new Date(event.time_ms).toLocaleString(), event.kind, event.detail]) {
            const cell = document.createElement('td');
            cell.textContent = text;
            row.append(cell);
        }
        return row;
    }));
}

async function load(fromMs, toMs) {
    range = [fromMs, toMs];
    const width = document.getElementById('chart').clientWidth || 800;
    const [history, stored] = await Promise.all([
        fetch('/api/history?points=' + Math.min(10000, Math.max(100, width)) + '&' + query(fromMs, toMs)).then(r => r.json()),
        fetch('/api/events?' + query(fromMs, toMs)).then(r => r.json()),
    ]);
    events = stored.filter(event => event.instrument === name || event.instrument === '');
    const rows = history.columns.map(column => [new Date(column[0]), [column[1], (column[1] + column[2]) / 2, column[2]]]);
    const options = {
        labels: ['time', name],
        customBars: true,
        ylabel: 'K',
        logscale: logScale,
        dateWindow: [fromMs, toMs],
        connectSeparatedPoints: false,
        drawPoints: rows.length < 200,
        underlayCallback: drawEvents,
        zoomCallback: (from, to) => load(from, to),
        legend: 'follow',
    };
    const data = rows.length ? rows : [[new Date(fromMs), [null, null, null]], [new Date(toMs), [null, null, null]]];
    if (chart) chart.updateOptions(Object.assign({ file: data }, options));
    else chart = new Dygraph(document.getElementById('chart'), data, options);
    document.getElementById('range').textContent =
        new Date(fromMs).toLocaleString() + ' to ' + new Date(toMs).toLocaleString() + ', ' + rows.length + ' columns';
    document.getElementById('csv').href = '/api/readings.csv?' + query(fromMs, toMs);
    listEvents();
}

async function show(hours) {
    document.querySelectorAll('.ranges button[data-hours]').forEach(button =>
        button.classList.toggle('active', Number(button.dataset.hours) === hours));
    const now = Date.now();
    if (hours > 0) return load(now - hours * 3600 * 1000, now);
    // All: from the first reading the store holds (one column over everything).
    const all = await fetch('/api/history?points=1&from=0&instrument=' + encodeURIComponent(name)).then(r => r.json());
    return load(all.columns.length ? all.columns[0][0] : now - 3600 * 1000, now);
}

document.querySelectorAll('.ranges button[data-hours]').forEach(button =>
    button.addEventListener('click', () => show(Number(button.dataset.hours))));
const logButton = document.getElementById('log');
logButton.classList.toggle('active', logScale);
logButton.addEventListener('click', () => {
    logScale = !logScale;
    localStorage.setItem('frostgauge.logScale', String(logScale));
    logButton.classList.toggle('active', logScale);
    if (range) load(range[0], range[1]);
});

const stream = new EventSource('/api/stream');
stream.addEventListener('reading', message => {
    const reading = JSON.parse(message.data);
    if (reading.instrument !== name) return;
    document.getElementById('latest').textContent =
        reading.kelvin.toFixed(3) + ' K at ' + new Date(reading.time_ms).toLocaleTimeString();
});
show(1);
