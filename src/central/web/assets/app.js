'use strict';

// The house's dashboard: the live calls of every ward over the WebSocket /live, the statistics of a
// period and the journal of events. Every text that comes from the data is set with textContent.
(function () {
    const byId = (id) => document.getElementById(id);

    // ---- Small helpers ---------------------------------------------------------------------------

    function el(tag, className, text) {
        const node = document.createElement(tag);
        if (className)
            node.className = className;
        if (text !== undefined && text !== null)
            node.textContent = String(text);
        return node;
    }

    function pad2(n) {
        return String(n).padStart(2, '0');
    }

    // 0:07, 12:45, 1:02:03: the waiting time and the durations of the statistics.
    function formatDuration(seconds) {
        if (typeof seconds !== 'number' || !isFinite(seconds))
            return '—';
        const s = Math.max(0, Math.floor(seconds));
        const h = Math.floor(s / 3600);
        const m = Math.floor((s % 3600) / 60);
        const rest = s % 60;
        return h > 0 ? `${h}:${pad2(m)}:${pad2(rest)}` : `${m}:${pad2(rest)}`;
    }

    function formatClock(ms) {
        const d = new Date(ms);
        return `${pad2(d.getHours())}:${pad2(d.getMinutes())}`;
    }

    function formatDate(ms) {
        const d = new Date(ms);
        return `${pad2(d.getDate())}.${pad2(d.getMonth() + 1)}.${d.getFullYear()}`;
    }

    function sameDay(a, b) {
        const x = new Date(a);
        const y = new Date(b);
        return x.getFullYear() === y.getFullYear() && x.getMonth() === y.getMonth() && x.getDate() === y.getDate();
    }

    // "10:15" today, "09.12.2026 10:15" on another day.
    function formatMoment(ms, nowMs) {
        return sameDay(ms, nowMs) ? formatClock(ms) : `${formatDate(ms)} ${formatClock(ms)}`;
    }

    function formatDateTime(ms) {
        const d = new Date(ms);
        return `${formatDate(ms)} ${pad2(d.getHours())}:${pad2(d.getMinutes())}:${pad2(d.getSeconds())}`;
    }

    // YYYY-MM-DD of the browser's own calendar day.
    function isoDay(d) {
        return `${d.getFullYear()}-${pad2(d.getMonth() + 1)}-${pad2(d.getDate())}`;
    }

    function daysBefore(d, days) {
        const copy = new Date(d.getFullYear(), d.getMonth(), d.getDate());
        copy.setDate(copy.getDate() - days);
        return copy;
    }

    function compareNames(a, b) {
        return String(a).localeCompare(String(b), 'ru', {numeric: true, sensitivity: 'base'});
    }

    // What kind of call a function code is, in the words the boards and the ward's journal use
    // (their log_r8, log_r4 and log_rb). The code's letter case counts, as at the ward.
    const kCallKinds = new Map([['8', 'вызов'], ['4', 'прием'], ['b', 'вызов отв.']]);

    function callKind(fn) {
        const code = typeof fn === 'string' ? fn : '';
        if (kCallKinds.has(code))
            return kCallKinds.get(code);
        return code ? `вызов (код функции ${code})` : 'вызов';
    }

    function levelName(level) {
        if (level === 'alarm')
            return 'тревога';
        if (level === 'warning')
            return 'предупреждение';
        return '';
    }

    function setStatus(node, text, isError) {
        node.textContent = text || '';
        node.classList.toggle('error', !!isError);
    }

    // A data request of the page: JSON, or an Error with the server's message. Without a session the
    // page goes to the login form.
    async function getJson(url) {
        let response;
        try {
            response = await fetch(url, {credentials: 'same-origin', cache: 'no-store'});
        } catch (e) {
            throw new Error('Центр недоступен');
        }
        if (response.status === 401) {
            window.location.assign('/login?expired=1');
            throw new Error('Сеанс закончился');
        }
        const text = await response.text();
        let body = null;
        try {
            body = text ? JSON.parse(text) : null;
        } catch (e) {
            body = null;
        }
        if (!response.ok) {
            const why = body && typeof body.error === 'string' ? body.error : text.trim();
            throw new Error(why || `Ошибка ${response.status}`);
        }
        return body;
    }

    // ---- «Вызовы»: the live view -----------------------------------------------------------------

    const live = {
        wards: new Map(),   // ward id -> card as the centre sent it
        offset: 0,          // the centre's clock minus the browser's, from the last message
        socket: null,
        lastMessage: 0,
        retryDelay: 1000,
        retryTimer: null,
        renderPending: false,
        openedAt: 0,
        waits: [],          // [span, call time in ms] of the shown calls, updated every second
    };
    const kSilenceMs = 25000;
    const kMaxRetryMs = 10000;

    function serverNow() {
        return Date.now() + live.offset;
    }

    function rank(card) {
        const calls = Array.isArray(card.calls) ? card.calls : [];
        if (calls.some((c) => c.level === 'alarm'))
            return 0;
        if (calls.some((c) => c.level === 'warning'))
            return 1;
        return calls.length > 0 ? 2 : 3;
    }

    function cardName(card) {
        return card.name || card.ward || '';
    }

    function sortedCards() {
        return Array.from(live.wards.values()).sort((a, b) => rank(a) - rank(b) || compareNames(cardName(a), cardName(b)));
    }

    function renderCall(call, list) {
        const level = call.level === 'alarm' || call.level === 'warning' ? call.level : 'normal';
        const item = el('li', `call level-${level}`);
        const main = el('div', 'call-main');
        main.appendChild(el('span', 'call-place', call.place || '—'));
        const wait = el('span', 'call-wait');
        if (typeof call.time === 'number')
            live.waits.push([wait, call.time]);
        else
            wait.textContent = '—';
        main.appendChild(wait);
        item.appendChild(main);
        const details = el('div', 'call-details');
        details.appendChild(el('span', 'call-kind', callKind(call.function)));
        if (call.room)
            details.appendChild(el('span', 'call-room', call.room));
        if (call.staff)
            details.appendChild(el('span', 'call-staff', call.staff));
        if (level !== 'normal')
            details.appendChild(el('span', 'call-level', levelName(level)));
        item.appendChild(details);
        list.appendChild(item);
    }

    function renderCard(card, nowMs) {
        const calls = Array.isArray(card.calls) ? card.calls : [];
        const offline = card.status !== 'online';
        const box = el('article', 'card');
        box.dataset.ward = String(card.ward || '');
        const r = rank(card);
        if (r === 0)
            box.classList.add('has-alarm');
        else if (r === 1)
            box.classList.add('has-warning');
        if (offline)
            box.classList.add('offline');

        const head = el('header', 'card-head');
        head.appendChild(el('h2', 'card-name', cardName(card)));
        let state = 'в сети';
        if (offline)
            state = typeof card.since === 'number' ? `нет связи с ${formatMoment(card.since, nowMs)}` : 'нет связи';
        head.appendChild(el('span', offline ? 'card-state off' : 'card-state on', state));
        box.appendChild(head);

        if (calls.length > 0) {
            const list = el('ul', 'calls');
            for (const call of calls)
                renderCall(call, list);
            box.appendChild(list);
        } else {
            box.appendChild(el('p', 'no-calls', 'Вызовов нет'));
        }

        for (const antenna of Array.isArray(card.silent) ? card.silent : []) {
            const since = typeof antenna.since === 'number' ? ` с ${formatMoment(antenna.since, nowMs)}` : '';
            box.appendChild(el('p', 'notice silent', `Антенна ${antenna.antenna} молчит${since}`));
        }
        const gaps = card.gaps || {};
        if (gaps.events > 0) {
            const gap = el('p', 'notice gap', `Потеряно событий: ${gaps.events}`);
            const recent = Array.isArray(gaps.recent) ? gaps.recent : [];
            if (recent.length > 0)
                gap.title = 'Номера: ' + recent.map((g) => (g[0] === g[1] ? `${g[0]}` : `${g[0]}–${g[1]}`)).join(', ');
            box.appendChild(gap);
        }
        if (card.conflicts > 0) {
            const conflict = el('p', 'notice gap', `Событий с повторными номерами: ${card.conflicts}`);
            conflict.title = 'Отделение прислало номера, которые уже записаны, с другим содержимым '
                + '(установлено заново?). Они сохранены отдельно, в таблице event_conflicts.';
            box.appendChild(conflict);
        }
        return box;
    }

    function renderLive() {
        const nowMs = serverNow();
        const cards = sortedCards();
        live.waits = [];
        const fragment = document.createDocumentFragment();
        let online = 0;
        let callCount = 0;
        let alarms = 0;
        for (const card of cards) {
            fragment.appendChild(renderCard(card, nowMs));
            if (card.status === 'online')
                ++online;
            const calls = Array.isArray(card.calls) ? card.calls : [];
            callCount += calls.length;
            alarms += calls.filter((c) => c.level === 'alarm').length;
        }
        byId('ward-cards').replaceChildren(fragment);
        byId('calls-empty').hidden = cards.length > 0 || live.lastMessage === 0;
        byId('calls-summary').textContent = cards.length > 0
            ? `Отделений: ${cards.length}, в сети: ${online}. Вызовов: ${callCount}, в тревоге: ${alarms}.`
            : '';
        tickLive();
    }

    // Many changes in a moment (a busy house) are drawn once, at the next frame.
    function scheduleRender() {
        if (live.renderPending)
            return;
        live.renderPending = true;
        window.requestAnimationFrame(() => {
            live.renderPending = false;
            renderLive();
        });
    }

    function tickLive() {
        const nowMs = serverNow();
        for (const [span, time] of live.waits)
            span.textContent = formatDuration((nowMs - time) / 1000);
        byId('clock').textContent = new Date(nowMs).toLocaleTimeString('ru-RU');
    }

    function showLost(lost) {
        byId('lost-banner').hidden = !lost;
        document.body.classList.toggle('lost', lost);
    }

    function onLiveMessage(event) {
        let message;
        try {
            message = JSON.parse(event.data);
        } catch (e) {
            return;
        }
        if (!message || typeof message !== 'object')
            return;
        live.lastMessage = Date.now();
        live.retryDelay = 1000;
        showLost(false);
        if (typeof message.now === 'number')
            live.offset = message.now - Date.now();
        if (message.type === 'snapshot' || message.type === 'wards') {
            if (message.type === 'snapshot')
                live.wards.clear();
            for (const card of Array.isArray(message.wards) ? message.wards : []) {
                if (card && card.ward !== undefined)
                    live.wards.set(String(card.ward), card);
            }
            scheduleRender();
        }
    }

    // The socket is gone: show it, find out whether the session ended, and try again later.
    function liveLost() {
        showLost(true);
        getJson('/api/me').catch(() => {});
        if (live.retryTimer === null) {
            live.retryTimer = setTimeout(() => {
                live.retryTimer = null;
                connectLive();
            }, live.retryDelay);
            live.retryDelay = Math.min(live.retryDelay * 2, kMaxRetryMs);
        }
    }

    function dropSocket() {
        const socket = live.socket;
        live.socket = null;
        if (socket) {
            socket.onclose = null;
            socket.onmessage = null;
            socket.onerror = null;
            try {
                socket.close();
            } catch (e) {
                // closing a socket that never opened
            }
        }
    }

    function connectLive() {
        dropSocket();
        const scheme = window.location.protocol === 'https:' ? 'wss:' : 'ws:';
        let socket;
        try {
            socket = new WebSocket(`${scheme}//${window.location.host}/live`);
        } catch (e) {
            liveLost();
            return;
        }
        live.socket = socket;
        socket.onopen = () => {
            // Counts as heard: the silence watch starts from here, not from the last socket.
            live.openedAt = Date.now();
        };
        socket.onmessage = onLiveMessage;
        socket.onclose = () => {
            if (live.socket === socket) {
                live.socket = null;
                liveLost();
            }
        };
    }

    // A connection that says nothing (not even its ping every 10 s) is as good as lost.
    function watchLive() {
        if (!live.socket || live.socket.readyState !== WebSocket.OPEN)
            return;
        const heard = Math.max(live.lastMessage, live.openedAt);
        if (Date.now() - heard > kSilenceMs) {
            dropSocket();
            liveLost();
        }
    }

    // ---- «Статистика» ----------------------------------------------------------------------------

    const kStatsKeys = ['name', 'calls', 'answered', 'missed', 'open', 'removed', 'median', 'p90', 'longest', 'function4'];
    const kDurationKeys = new Set(['median', 'p90', 'longest']);
    const kDefaultCaptions = ['Отделение', 'Вызовов', 'Отвечено', 'Пропущено', 'Открыто', 'Убрано', 'Медиана',
        '90-й процентиль', 'Самое долгое', 'Приёмов (4)'];
    const kPalette = ['#1565C0', '#F9A825', '#C62828', '#2E7D32', '#6A1B9A', '#00838F', '#EF6C00', '#AD1457',
        '#558B2F', '#4E342E', '#78909C'];
    const kTopWards = 10;
    const charts = {days: null, hours: null};
    // A phone's width: the legends go under the charts, where they have the whole width.
    const narrowScreen = window.matchMedia('(max-width: 640px)');
    let statsLoaded = false;

    function statsCell(row, key) {
        const value = row[key];
        if (kDurationKeys.has(key))
            return typeof value === 'number' ? formatDuration(value) : (value || '—');
        return value === undefined || value === null ? '' : value;
    }

    // Each cell carries its column's caption: a narrow screen shows a row as a card of captioned values.
    function statsRow(row, captions) {
        const tr = el('tr');
        kStatsKeys.forEach((key, i) => {
            const cell = el(i === 0 ? 'th' : 'td', i === 0 ? 'name' : 'number', statsCell(row, key));
            if (i === 0)
                cell.scope = 'row';
            else
                cell.dataset.label = captions[i];
            tr.appendChild(cell);
        });
        return tr;
    }

    function renderStatsTable(data) {
        const captions = Array.isArray(data.columns) && data.columns.length === kStatsKeys.length
            ? data.columns : kDefaultCaptions;
        const head = byId('stats-head');
        head.replaceChildren(...captions.map((c) => el('th', null, c)));
        const wards = Array.isArray(data.wards) ? data.wards : [];
        byId('stats-body').replaceChildren(...wards.map((w) => statsRow(w, captions)));
        const foot = byId('stats-foot');
        if (data.total && wards.length > 1)
            foot.replaceChildren(statsRow(Object.assign({}, data.total, {name: data.total.name || 'Всего'}), captions));
        else
            foot.replaceChildren();
    }

    function chartsReady() {
        if (typeof window.Chart !== 'function')
            return false;
        const Chart = window.Chart;
        Chart.defaults.color = '#cfd8dc';
        Chart.defaults.borderColor = 'rgba(255, 255, 255, 0.12)';
        // The page's own type size, larger on a wall screen.
        const rem = parseFloat(window.getComputedStyle(document.documentElement).fontSize) || 17;
        Chart.defaults.font.size = Math.round(rem * 0.85);
        Chart.defaults.animation = false;
        Chart.defaults.maintainAspectRatio = false;
        return true;
    }

    // Calls per day: the ten busiest wards of the period, the others summed as «прочие».
    function daysChartData(data) {
        const days = Array.isArray(data.days) ? data.days : [];
        const perDay = (Array.isArray(data.perDay) ? data.perDay : []).map((w) => ({
            name: String(w.ward),
            counts: days.map((_, i) => Number((w.counts || [])[i]) || 0),
        }));
        perDay.forEach((w) => (w.total = w.counts.reduce((a, b) => a + b, 0)));
        perDay.sort((a, b) => b.total - a.total || compareNames(a.name, b.name));
        let shown = perDay;
        if (perDay.length > kTopWards + 1) {
            shown = perDay.slice(0, kTopWards);
            const others = days.map((_, i) => perDay.slice(kTopWards).reduce((sum, w) => sum + w.counts[i], 0));
            shown.push({name: 'прочие', counts: others});
        }
        const labels = days.map((d) => {
            const [, m, dd] = String(d).split('-');
            return dd && m ? `${dd}.${m}` : String(d);
        });
        const datasets = shown.map((w, i) => ({
            label: w.name,
            data: w.counts,
            borderColor: kPalette[i % kPalette.length],
            backgroundColor: kPalette[i % kPalette.length],
        }));
        return {labels, datasets};
    }

    function seconds(value) {
        return typeof value === 'number' ? value : null;
    }

    // The median and the 90th percentile of each hour of the day, in seconds shown as m:ss.
    function hoursChartData(data) {
        const hours = Array.isArray(data.hours) ? data.hours : [];
        return {
            labels: hours.map((h) => pad2(h.hour)),
            datasets: [
                {label: 'Медиана', data: hours.map((h) => seconds(h.median)), backgroundColor: '#1565C0'},
                {label: '90-й процентиль', data: hours.map((h) => seconds(h.p90)), backgroundColor: '#F9A825'},
            ],
        };
    }

    // A step of the time axis in whole seconds, minutes or hours, at most eight steps to the top.
    function timeStep(maxSeconds) {
        const steps = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200];
        return steps.find((step) => maxSeconds / step <= 8) || 3600 * Math.ceil(maxSeconds / 3600 / 8);
    }

    function legendPosition(wide) {
        return narrowScreen.matches ? 'bottom' : wide;
    }

    function placeLegends() {
        if (charts.days) {
            charts.days.options.plugins.legend.position = legendPosition('right');
            charts.days.update();
        }
    }

    function drawCharts(data) {
        if (!chartsReady()) {
            setStatus(byId('stats-status'), 'Графики недоступны: библиотека не загрузилась', true);
            return;
        }
        for (const key of Object.keys(charts)) {
            if (charts[key]) {
                charts[key].destroy();
                charts[key] = null;
            }
        }
        const days = daysChartData(data);
        // Stacked bars: the day's height is the house's calls, the colours its busiest wards.
        charts.days = new window.Chart(byId('chart-days'), {
            type: 'bar',
            data: days,
            options: {
                interaction: {mode: 'index', intersect: false},
                scales: {x: {stacked: true}, y: {stacked: true, beginAtZero: true, ticks: {precision: 0}}},
                plugins: {legend: {position: legendPosition('right')}},
            },
        });
        const hours = hoursChartData(data);
        const longest = Math.max(0, ...hours.datasets.flatMap((d) => d.data).filter((v) => v !== null));
        charts.hours = new window.Chart(byId('chart-hours'), {
            type: 'bar',
            data: hours,
            options: {
                scales: {
                    y: {
                        beginAtZero: true,
                        ticks: {stepSize: timeStep(longest), callback: (value) => formatDuration(value)},
                    },
                },
                plugins: {
                    tooltip: {
                        callbacks: {
                            label: (ctx) => `${ctx.dataset.label}: ${formatDuration(ctx.parsed.y || 0)}`,
                        },
                    },
                },
            },
        });
    }

    async function loadStats() {
        const first = byId('stats-first').value;
        const last = byId('stats-last').value;
        const status = byId('stats-status');
        if (!first || !last) {
            setStatus(status, 'Укажите начало и конец периода', true);
            return;
        }
        if (first > last) {
            setStatus(status, 'Начало периода позже его конца', true);
            return;
        }
        const query = new URLSearchParams({first, last}).toString();
        byId('stats-xlsx').href = `/api/statistics.xlsx?${query}`;
        setStatus(status, 'Загрузка…');
        try {
            const data = await getJson(`/api/statistics?${query}`);
            renderStatsTable(data || {});
            drawCharts(data || {});
            const count = Array.isArray(data && data.wards) ? data.wards.length : 0;
            if (!status.classList.contains('error'))
                setStatus(status, count > 0 ? '' : 'За этот период вызовов нет');
        } catch (e) {
            setStatus(status, e.message, true);
        }
    }

    function showStats() {
        if (statsLoaded)
            return;
        statsLoaded = true;
        const today = new Date();
        byId('stats-first').value = isoDay(daysBefore(today, 29));
        byId('stats-last').value = isoDay(today);
        loadStats();
    }

    // ---- «Журнал» --------------------------------------------------------------------------------

    const journal = {
        filters: null,  // the filters of the shown pages, fixed at «Показать»
        next: null,     // the cursor of the next page
        page: 0,
        loaded: false,
    };
    const kJournalPage = 100;

    function eventText(row) {
        switch (row.type) {
        case 'call':
            return callKind(row.function);
        case 'cancel':
            return 'отмена';
        case 'repeat':
            return 'повтор';
        case 'escalation':
            return row.level ? `эскалация: ${levelName(row.level) || row.level}` : 'эскалация';
        case 'antenna':
            return `антенна ${row.antenna ?? ''} ${row.silent ? 'молчит' : 'снова слышна'}`;
        default:
            return String(row.type || '');
        }
    }

    // A row of the journal; on a narrow screen a card headed by its time and ward, the other cells
    // under the captions of their columns.
    function journalRow(row) {
        const tr = el('tr');
        if (row.type === 'escalation' && (row.level === 'alarm' || row.level === 'warning'))
            tr.className = `level-${row.level}`;
        const time = el('td', 'time lead', typeof row.time === 'number' ? formatDateTime(row.time) : (row.localTime || ''));
        if (row.localTime)
            time.title = `Часы отделения: ${row.localTime}`;
        tr.appendChild(time);
        tr.appendChild(el('td', 'ward lead', row.wardName || row.ward || ''));
        const cell = (className, label, text) => {
            const td = el('td', className, text);
            td.dataset.label = label;
            tr.appendChild(td);
        };
        cell('event', 'Событие', eventText(row));
        cell('place', 'Место', row.place || '');
        cell('room', 'Палата', row.room || '');
        cell('staff', 'Персонал', row.staff || '');
        cell('code', 'Код', row.code || '');
        cell('number', 'Реакция', typeof row.reaction === 'number' ? formatDuration(row.reaction) : '');
        return tr;
    }

    function journalUrl(filters, after) {
        const params = new URLSearchParams();
        for (const [key, value] of Object.entries(filters)) {
            if (value)
                params.set(key, value);
        }
        if (after)
            params.set('after', after);
        params.set('limit', String(kJournalPage));
        return `/api/journal?${params.toString()}`;
    }

    async function loadJournal(after) {
        const status = byId('journal-status');
        const filters = journal.filters;
        if (filters.first && filters.last && filters.first > filters.last) {
            setStatus(status, 'Начало периода позже его конца', true);
            return;
        }
        setStatus(status, 'Загрузка…');
        byId('journal-next').disabled = true;
        try {
            const data = await getJson(journalUrl(filters, after));
            const rows = Array.isArray(data && data.rows) ? data.rows : [];
            journal.page = after ? journal.page + 1 : 1;
            journal.next = data && data.next ? data.next : null;
            byId('journal-body').replaceChildren(...rows.map(journalRow));
            byId('journal-table').parentElement.scrollTop = 0;
            setStatus(status, rows.length === 0 ? 'Событий нет' : '');
            byId('journal-page').textContent = rows.length > 0 ? `Страница ${journal.page}` : '';
        } catch (e) {
            setStatus(status, e.message, true);
        }
        byId('journal-next').disabled = !journal.next;
        byId('journal-first-page').disabled = journal.page <= 1;
    }

    function readJournalFilters() {
        journal.filters = {
            ward: byId('journal-ward').value,
            place: byId('journal-place').value.trim(),
            first: byId('journal-first').value,
            last: byId('journal-last').value,
        };
    }

    async function loadWardChoices() {
        try {
            const wards = await getJson('/api/wards');
            const select = byId('journal-ward');
            const chosen = select.value;
            const options = [el('option', null, 'Все отделения')];
            options[0].value = '';
            for (const w of (Array.isArray(wards) ? wards : []).slice().sort((a, b) => compareNames(a.name || a.ward, b.name || b.ward))) {
                const option = el('option', null, w.name || w.ward);
                option.value = String(w.ward);
                options.push(option);
            }
            select.replaceChildren(...options);
            select.value = chosen;
        } catch (e) {
            setStatus(byId('journal-status'), e.message, true);
        }
    }

    function showJournal() {
        if (journal.loaded)
            return;
        journal.loaded = true;
        loadWardChoices();
        readJournalFilters();
        loadJournal(null);
    }

    // ---- Tabs and start ----------------------------------------------------------------------------

    const views = {calls: 'view-calls', stats: 'view-stats', journal: 'view-journal'};

    function route() {
        let name = window.location.hash.replace(/^#/, '');
        if (!Object.prototype.hasOwnProperty.call(views, name))
            name = 'calls';
        for (const [key, id] of Object.entries(views)) {
            byId(id).hidden = key !== name;
            const tab = byId(`tab-${key}`);
            tab.classList.toggle('active', key === name);
            if (key === name)
                tab.setAttribute('aria-current', 'page');
            else
                tab.removeAttribute('aria-current');
        }
        if (name === 'stats')
            showStats();
        else if (name === 'journal')
            showJournal();
    }

    function start() {
        byId('stats-form').addEventListener('submit', (e) => {
            e.preventDefault();
            loadStats();
        });
        byId('journal-form').addEventListener('submit', (e) => {
            e.preventDefault();
            readJournalFilters();
            loadJournal(null);
        });
        byId('journal-next').addEventListener('click', () => {
            if (journal.next)
                loadJournal(journal.next);
        });
        byId('journal-first-page').addEventListener('click', () => loadJournal(null));
        window.addEventListener('hashchange', route);
        narrowScreen.addEventListener('change', placeLegends);
        route();

        getJson('/api/me')
            .then((me) => {
                byId('user-name').textContent = me && me.name ? me.name : '';
            })
            .catch(() => {});
        connectLive();
        setInterval(() => {
            tickLive();
            watchLive();
        }, 1000);
    }

    document.addEventListener('DOMContentLoaded', start);
})();
