// The overview: one tile per instrument, kept current by the monitor's event stream.
'use strict';

const tiles = new Map();
const staleAfterSeconds = 10;

function element(tag, className, text) {
    const made = document.createElement(tag);
    if (className) made.className = className;
    if (text !== undefined) made.textContent = text;
    return made;
}

function showValue(tile, text) {
    tile.kelvin.textContent = text;
    tile.kelvin.classList.toggle('long', text.length > 10);
}

function ageText(seconds) {
    if (seconds < 60) return Math.round(seconds) + ' s ago';
    if (seconds < 3600) return Math.round(seconds / 60) + ' min ago';
    return Math.round(seconds / 3600) + ' h ago';
}

function tileFor(instrument) {
    let tile = tiles.get(instrument.name);
    if (tile) return tile;
    const link = element('a', 'tile');
    link.href = '/instrument/' + encodeURIComponent(instrument.name);
    const heading = element('h2', null, instrument.name);
    const kelvin = element('div', 'kelvin', '–');
    const line = element('div', 'muted');
    const status = element('span', 'status');
    const age = element('span', 'age');
    line.append(status, ' · ', age);
    const alarms = element('div');
    const spark = document.createElementNS('http://www.w3.org/2000/svg', 'svg');
    spark.setAttribute('class', 'spark');
    spark.setAttribute('preserveAspectRatio', 'none');
    const polyline = document.createElementNS('http://www.w3.org/2000/svg', 'polyline');
    spark.append(polyline);
    link.append(heading, kelvin, line, alarms, spark);
    document.getElementById('tiles').append(link);
    tile = { link, kelvin, status, age, alarms, spark, polyline, points: [], timeMs: null, state: 'starting',
             raised: new Set(), acknowledged: new Map() };
    tiles.set(instrument.name, tile);
    return tile;
}

function drawSparkline(tile) {
    const since = Date.now() - 3600 * 1000;
    tile.points = tile.points.filter(point => point[0] >= since);
    if (tile.points.length === 0) { tile.polyline.setAttribute('points', ''); return; }
    let low = Infinity, high = -Infinity;
    for (const point of tile.points) { low = Math.min(low, point[1]); high = Math.max(high, point[2]); }
    // A cool-down (or a pressure over decades) is drawn on decades too.
    const log = suitsLogScale(low, high, tile.unit);
    const scale = value => (log ? Math.log10(value) : value);
    tile.spark.classList.toggle('log', log);
    const bottom = scale(low);
    const span = scale(high) - bottom || 1;
    const y = value => (100 - (scale(value) - bottom) / span * 100).toFixed(1);
    tile.spark.setAttribute('viewBox', '0 0 3600 100');
    const coordinates = [];
    for (const point of tile.points) {
        const x = (point[0] - since) / 1000;
        coordinates.push(x.toFixed(1) + ',' + y(point[2]));
        if (point[1] !== point[2]) coordinates.push(x.toFixed(1) + ',' + y(point[1]));
    }
    tile.polyline.setAttribute('points', coordinates.join(' '));
}

function showState(tile) {
    const age = tile.timeMs === null ? null : (Date.now() - tile.timeMs) / 1000;
    const stale = tile.state === 'online' && age !== null && age > staleAfterSeconds;
    tile.link.className = 'tile ' + tile.state.replace(/ /g, '-') + (stale ? ' stale' : '');
    tile.status.textContent = tile.state;
    tile.age.textContent = age === null ? 'no reading yet' : (stale ? 'no reading for ' : '') + ageText(age);
    // A raised alarm nobody has taken on says so and offers to take it on.
    tile.alarms.replaceChildren(...[...tile.raised].map(name => {
        const by = tile.acknowledged.get(name);
        const alarm = element('span', by ? 'alarm acknowledged' : 'alarm unacknowledged',
                              name + (by ? ' · acknowledged by ' + by : ' · unacknowledged'));
        if (!by) {
            const button = element('button', 'acknowledge', 'Acknowledge');
            button.addEventListener('click', async clicked => {
                clicked.preventDefault();
                const response = await fetch('/api/acknowledge', {
                    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ alarm: name }),
                });
                if (!response.ok) button.textContent = await response.text();
            });
            alarm.append(' ', button);
        }
        return alarm;
    }));
}

function take(instrument) {
    const tile = tileFor(instrument);
    tile.state = instrument.status;
    tile.unit = instrument.unit;
    tile.timeMs = instrument.time_ms;
    showValue(tile, valueText(instrument));
    tile.link.dataset.seq = instrument.seq;
    tile.link.dataset.firstSeq = instrument.seq;
    tile.raised = new Set(instrument.alarms.filter(alarm => alarm.raised).map(alarm => alarm.name));
    tile.acknowledged = new Map(instrument.alarms.filter(alarm => alarm.acknowledged_by)
        .map(alarm => [alarm.name, alarm.acknowledged_by]));
    showState(tile);
}

async function loadSparklines() {
    for (const [name, tile] of tiles) {
        const response = await fetch('/api/history?points=240&instrument=' + encodeURIComponent(name));
        if (!response.ok) continue;
        tile.points = (await response.json()).columns;
        drawSparkline(tile);
    }
}

function follow() {
    const connection = document.getElementById('connection');
    const stream = new EventSource('/api/stream');
    stream.addEventListener('open', () => { connection.textContent = 'live'; });
    stream.addEventListener('error', () => { connection.textContent = 'reconnecting'; });
    stream.addEventListener('instruments', message => {
        JSON.parse(message.data).forEach(take);
        loadSparklines();
    });
    stream.addEventListener('reading', message => {
        const reading = JSON.parse(message.data);
        // An archive hears of a source's new instrument while the page is open.
        const tile = tileFor({ name: reading.instrument });
        tile.timeMs = reading.time_ms;
        tile.unit = reading.unit;
        showValue(tile, valueText(reading));
        tile.link.dataset.seq = reading.seq;
        const value = reading.value !== undefined ? reading.value : reading.kelvin;
        tile.points.push([reading.time_ms, value, value]);
        showState(tile);
    });
    stream.addEventListener('status', message => {
        const status = JSON.parse(message.data);
        const tile = tileFor({ name: status.instrument });
        tile.state = status.status;
        showState(tile);
    });
    stream.addEventListener('alarm', message => {
        const alarm = JSON.parse(message.data);
        const tile = tiles.get(alarm.instrument);
        if (!tile) return;
        if (alarm.state === 'raised') tile.raised.add(alarm.alarm); else tile.raised.delete(alarm.alarm);
        tile.acknowledged.delete(alarm.alarm);
        showState(tile);
    });
    stream.addEventListener('acknowledged', message => {
        const taken = JSON.parse(message.data);
        const tile = tiles.get(taken.instrument);
        if (!tile) return;
        tile.acknowledged.set(taken.alarm, taken.by);
        showState(tile);
    });
}

follow();
setInterval(() => tiles.forEach(showState), 1000);
setInterval(() => tiles.forEach(drawSparkline), 5000);
setInterval(loadSparklines, 60000);
