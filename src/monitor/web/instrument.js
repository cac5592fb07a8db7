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
// The value axis: logarithmic for a cool-down, remembered in this browser;
// until one is chosen, as the values call for (suitsLogScale).
const chosenScale = localStorage.getItem('frostgauge.logScale');
let logScale = chosenScale === 'true';
// The series' unit (and states), from the monitor's list.
let unit = 'K';

// An event of this series, of its instrument (a channel's), or of the monitor.
function concerns(instrument) {
    return instrument === name || instrument === '' || name.startsWith(instrument + ':');
}

function query(fromMs, toMs) {
    return 'instrument=' + encodeURIComponent(name) + '&from=' + Math.round(fromMs) + '&to=' + Math.round(toMs);
}

let clickedMs = null;

// A note is what a person wrote: a solid blue line with its words; other events dashed.
function drawEvents(canvas, area, graph) {
    canvas.save();
    canvas.font = '12px sans-serif';
    for (const event of events) {
        const x = graph.toDomXCoord(event.time_ms);
        if (x < area.x || x > area.x + area.w) continue;
        const note = event.kind === 'note';
        canvas.strokeStyle = note || event.kind === 'alarm acknowledged' ? '#1f5fb4'
            : event.kind.startsWith('alarm') ? '#c62828' : '#888';
        canvas.setLineDash(note ? [] : [4, 3]);
        canvas.lineWidth = note ? 1.5 : 1;
        canvas.beginPath();
        canvas.moveTo(x, area.y);
        canvas.lineTo(x, area.y + area.h);
        canvas.stroke();
        if (note) {
            const words = event.detail.split('\n')[0];
            const label = (words.length > 60 ? words.slice(0, 59) + '…' : words) + (event.author ? ' (' + event.author + ')' : '');
            canvas.save();
            canvas.translate(x + 3, area.y + 4);
            canvas.rotate(Math.PI / 2);
            canvas.fillStyle = '#1f5fb4';
            canvas.fillText(label, 0, 0);
            canvas.restore();
        }
    }
    canvas.restore();
}

function listEvents() {
    const body = document.querySelector('#events tbody');
    body.replaceChildren(...events.slice().reverse().map(event => {
        const row = document.createElement('tr');
        if (event.kind === 'note') row.className = 'note';
        for (const text of [new Date(event.time_ms).toLocaleString(), event.kind, event.detail, event.author || '']) {
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
    events = stored.filter(event => concerns(event.instrument));
    const rows = history.columns.map(column => [new Date(column[0]), [column[1], (column[1] + column[2]) / 2, column[2]]]);
    if (localStorage.getItem('frostgauge.logScale') === null && history.columns.length) {
        const lows = history.columns.map(column => column[1]).filter(value => value !== null);
        const highs = history.columns.map(column => column[2]).filter(value => value !== null);
        const low = Math.min(...lows);
        logScale = suitsLogScale(low, Math.max(...highs), unit);
        document.getElementById('log').classList.toggle('active', logScale);
    }
    const options = {
        labels: ['time', name],
        customBars: true,
        ylabel: unit,
        // Small values (a vacuum) in exponents wide enough to tell the ticks apart.
        axes: unit === 'K' ? {} : { y: { axisLabelWidth: 72, axisLabelFormatter: axisNumber, valueFormatter: axisNumber } },
        logscale: logScale,
        dateWindow: [fromMs, toMs],
        connectSeparatedPoints: false,
        drawPoints: rows.length < 200,
        underlayCallback: drawEvents,
        zoomCallback: (from, to) => load(from, to),
        clickCallback: (e, x) => {
            clickedMs = x;
            const clicked = document.getElementById('note-clicked');
            clicked.disabled = false;
            clicked.checked = true;
            document.getElementById('note-clicked-time').textContent = new Date(x).toLocaleString();
        },
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

document.getElementById('note-form').addEventListener('submit', async submitted => {
    submitted.preventDefault();
    const text = document.getElementById('note-text');
    const result = document.getElementById('note-result');
    const at = document.getElementById('note-clicked').checked && clickedMs !== null ? Math.round(clickedMs) : Date.now();
    const response = await fetch('/api/notes', {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify({ instrument: name, time: at, text: text.value }),
    });
    result.textContent = response.ok ? 'Note added.' : await response.text();
    if (response.ok) {
        text.value = '';
        if (range) load(range[0], Math.max(range[1], Date.now()));
    }
});

const stream = new EventSource('/api/stream');
stream.addEventListener('note', message => {
    const note = JSON.parse(message.data);
    if (concerns(note.instrument) && range && note.time_ms >= range[0] && note.time_ms <= range[1])
        load(range[0], range[1]);
});
stream.addEventListener('reading', message => {
    const reading = JSON.parse(message.data);
    if (reading.instrument !== name) return;
    document.getElementById('latest').textContent =
        valueText(reading) + ' at ' + new Date(reading.time_ms).toLocaleTimeString();
});
fetch('/api/instruments').then(r => r.json()).then(list => {
    const self = list.find(instrument => instrument.name === name);
    if (self && self.unit !== undefined) unit = self.unit;
}).finally(() => show(1));
