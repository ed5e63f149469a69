#!/usr/bin/python3
"""The house's dashboard in a real browser (headless Chromium driven by Selenium).

A test ward publishes to the broker as a ward server does; the page must show its call within one
second of the publish, take it off within one second of the cancel, grey the ward within two seconds
of its "offline" status, draw the statistics' charts and list the events in the journal, with a place
holding markup shown as text; every kind of call is named in the boards' words in «Вызовы» and
«Журнал»; on a phone (360 and 390 px wide) every view fits the screen, every tab can be seen and
touched, the journal's rows are cards with every value and the charts' legends are whole; when the
centre stops the page marks the lost connection, and once it is back (without its sessions) asks for
a new login. Screenshots of each page go to --shots.

Exit status 0 when everything held; otherwise 1 with the reason on standard error.
"""

import argparse
import base64
import datetime
import json
import os
import re
import signal
import subprocess
import sys
import time

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

HOSTILE_PLACE = '<script>alert(1)</script>"\''

# Every function code a call can carry and the words the page names it with: those of the boards and
# of the ward's journal (log_r8, log_r4, log_rb; the letter case counts, as at the ward), the code
# itself for one no ward sends.
CALL_WORDS = [('8', 'вызов'), ('4', 'прием'), ('b', 'вызов отв.'), ('B', 'вызов (код функции B)'),
              ('7', 'вызов (код функции 7)')]

# The phones the page must fit: width and height in CSS pixels.
PHONES = [(360, 640), (390, 844)]


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Ward:
    """A ward server as the broker sees it: its status, its events and its list of open calls."""

    def __init__(self, broker_port, prefix):
        self.port = broker_port
        self.prefix = prefix
        self.seq = 0

    def publish(self, topic, payload, retained=False):
        args = ['mosquitto_pub', '-h', '127.0.0.1', '-p', str(self.port), '-q', '1',
                '-t', f'{self.prefix}/{topic}', '-m', payload]
        if retained:
            args.append('-r')
        subprocess.run(args, check=True, timeout=20)

    @staticmethod
    def now():
        return datetime.datetime.now().astimezone().isoformat(timespec='seconds')

    def event(self, kind, **fields):
        self.seq += 1
        event = {'type': kind, 'code': 'f6186', 'function': '8', 'place': HOSTILE_PLACE,
                 'ward': 'Палата 5', 'staff': 'Тестова Анна', 'time': self.now(), 'seq': self.seq}
        event.update(fields)
        self.publish('events', json.dumps(event, ensure_ascii=False))

    def open_calls(self, calls):
        self.publish('open', json.dumps(calls, ensure_ascii=False), retained=True)


def wait_until(what, timeout, step=0.05):
    """Polls `what` until it gives something true; returns it and the seconds it took, or fails."""
    started = time.monotonic()
    while True:
        try:
            result = what()
        except WebDriverException:
            result = None
        if result:
            return result, time.monotonic() - started
        if time.monotonic() - started > timeout:
            return None, time.monotonic() - started
        time.sleep(step)


def browser(width, height):
    options = webdriver.ChromeOptions()
    for arg in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                f'--window-size={width},{height}', '--lang=ru-RU'):
        options.add_argument(arg)
    options.add_experimental_option('prefs', {'intl.accept_languages': 'ru-RU,ru'})
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    driver = webdriver.Chrome(service=Service(executable_path='/usr/bin/chromedriver'), options=options)
    driver.set_window_size(width, height)
    driver.set_page_load_timeout(30)
    return driver


def no_alert(driver):
    try:
        driver.switch_to.alert
        return False
    except NoAlertPresentException:
        return True


def card_of(driver, ward):
    cards = driver.find_elements(By.CSS_SELECTOR, f'#ward-cards .card[data-ward="{ward}"]')
    return cards[0] if cards else None


def calls_of(driver, ward):
    card = card_of(driver, ward)
    return card.find_elements(By.CSS_SELECTOR, '.call') if card else []


# Pixels of the canvas that something was drawn on, and the data the chart was given.
CHART_STATE = """
const canvas = document.getElementById(arguments[0]);
const chart = window.Chart && Chart.getChart(canvas);
if (!chart || canvas.width === 0 || canvas.height === 0) return null;
const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
let drawn = 0;
for (let i = 3; i < pixels.length; i += 4) if (pixels[i] !== 0) ++drawn;
return {drawn: drawn, labels: chart.data.labels.length,
        datasets: chart.data.datasets.map(d => ({label: d.label, data: d.data}))};
"""


# How the page sits in a viewport `width` wide: the document's widths, and every shown element that
# reaches past either edge.
LAYOUT_STATE = """
const width = arguments[0];
window.scrollTo(0, 0);
const out = [];
for (const e of document.querySelectorAll('body *')) {
    const r = e.getBoundingClientRect();
    if (r.width === 0 || r.height === 0)
        continue;
    if (r.left < -0.5 || r.right > width + 0.5)
        out.push(`${e.tagName.toLowerCase()}#${e.id}.${e.className} ${Math.round(r.left)}..${Math.round(r.right)}`);
}
const tabs = Array.from(document.querySelectorAll('.tabs .tab')).map((t) => {
    const r = t.getBoundingClientRect();
    const hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
    return {id: t.id, left: r.left, right: r.right, top: r.top, bottom: r.bottom,
            touched: hit !== null && (hit === t || t.contains(hit))};
});
return {inner: window.innerWidth, document: document.documentElement.scrollWidth,
        body: document.body.scrollWidth, outside: out.slice(0, 12), tabs: tabs};
"""

# The legend of a chart: its items, and whether each item's box lies inside the canvas.
LEGEND_STATE = """
const chart = window.Chart && Chart.getChart(document.getElementById(arguments[0]));
if (!chart || !chart.legend)
    return null;
const boxes = chart.legend.legendHitBoxes || [];
return {position: chart.options.plugins.legend.position, width: chart.width, items: chart.legend.legendItems.length,
        datasets: chart.data.datasets.length,
        inside: boxes.every((b) => b.left >= -0.5 && b.left + b.width <= chart.width + 0.5 && b.top >= -0.5
                                   && b.top + b.height <= chart.height + 0.5)};
"""


def check_fits(driver, width, view):
    state = driver.execute_script(LAYOUT_STATE, width)
    where = f'{view} at {width} px'
    check(state['inner'] == width, f'{where}: the viewport is {state["inner"]} px wide')
    check(state['document'] <= width and state['body'] <= width,
          f'{where}: the page is {state["document"]} px wide (body {state["body"]})')
    check(not state['outside'], f'{where}: reaching past the screen: {state["outside"]}')
    for tab in state['tabs']:
        check(tab['left'] >= 0 and tab['right'] <= width and tab['top'] >= 0 and tab['touched'],
              f'{where}: the tab {tab["id"]} is out of sight or covered: {tab}')
    check(len(state['tabs']) == 3, f'{where}: tabs {state["tabs"]}')


def check_phone(driver, width, height, ward_id, shots):
    """Every view of the page on a phone `width` CSS pixels wide; screenshots of each whole page."""
    def shot(_, name):
        tall = driver.execute_script('return document.documentElement.scrollHeight')
        image = driver.execute_cdp_cmd('Page.captureScreenshot', {
            'format': 'png', 'captureBeyondViewport': True,
            'clip': {'x': 0, 'y': 0, 'width': width, 'height': tall, 'scale': 1}})
        with open(os.path.join(shots, f'{name}.png'), 'wb') as file:
            file.write(base64.b64decode(image['data']))

    driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                           {'width': width, 'height': height, 'deviceScaleFactor': 2, 'mobile': True})
    try:
        driver.find_element(By.ID, 'tab-calls').click()
        shown, _ = wait_until(lambda: len(calls_of(driver, 'neuro')) == 2, 5)
        check(shown, f'at {width} px the calls are not shown')
        time.sleep(0.3)
        check_fits(driver, width, '«Вызовы»')
        kinds = [c.find_element(By.CSS_SELECTOR, '.call-kind').text for c in calls_of(driver, 'neuro')]
        check(kinds == ['вызов отв.', 'прием'], f'at {width} px the calls are named {kinds}')
        shot(driver, f'phone-{width}-calls')

        driver.find_element(By.ID, 'tab-stats').click()
        drawn, _ = wait_until(lambda: (driver.execute_script(LEGEND_STATE, 'chart-days') or {}).get('position')
                              == 'bottom', 5)
        check(drawn, f'at {width} px the legend of the calls per day is not under the chart: '
              f'{driver.execute_script(LEGEND_STATE, "chart-days")}')
        time.sleep(0.3)
        check_fits(driver, width, '«Статистика»')
        for canvas in ('chart-days', 'chart-hours'):
            legend = driver.execute_script(LEGEND_STATE, canvas)
            check(legend and legend['inside'] and legend['items'] == legend['datasets'],
                  f'at {width} px the legend of {canvas} is cut: {legend}')
        row = [r for r in driver.find_elements(By.CSS_SELECTOR, '#stats-body tr')
               if r.find_element(By.CSS_SELECTOR, 'th').text == ward_id]
        check(row and row[0].find_element(By.CSS_SELECTOR, 'td').is_displayed(),
              f'at {width} px the statistics do not show the ward\'s values')
        shot(driver, f'phone-{width}-statistics')

        driver.find_element(By.ID, 'tab-journal').click()
        rows, _ = wait_until(lambda: driver.find_elements(By.CSS_SELECTOR, '#journal-body tr'), 5)
        check(rows, f'at {width} px the journal is empty')
        time.sleep(0.3)
        check_fits(driver, width, '«Журнал»')
        # A card: its time and ward, then every value that the row has under its caption.
        first = rows[0]
        for name, caption, text in (('event', 'Событие', 'отмена'), ('place', 'Место', HOSTILE_PLACE),
                                    ('room', 'Палата', 'Палата 5'), ('staff', 'Персонал', 'Тестова Анна')):
            cell = first.find_element(By.CSS_SELECTOR, f'td.{name}')
            check(cell.is_displayed() and cell.text.endswith(text),
                  f'at {width} px the journal\'s {name} shows "{cell.text}", not {text}')
            label = driver.execute_script("return getComputedStyle(arguments[0], '::before').content", cell)
            check(label == f'"{caption}"', f'at {width} px the journal\'s {name} is captioned {label}')
        shot(driver, f'phone-{width}-journal')
    finally:
        driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})


def start_centre(exe):
    """Starts the centre again once the stopped copy has let go of its folder (a second copy in the
    same folder refuses to start and exits at once)."""
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        centre = subprocess.Popen([exe], cwd=os.path.dirname(exe), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            centre.wait(1.5)
        except subprocess.TimeoutExpired:
            return centre
        time.sleep(0.3)
    return None


def login(driver, url, name, password):
    driver.get(url + '/login')
    driver.find_element(By.ID, 'name').send_keys(name)
    driver.find_element(By.ID, 'password').send_keys(password)
    driver.find_element(By.ID, 'login-button').click()


def run(args):
    url = args.url.rstrip('/')
    ward = Ward(args.broker_port, args.prefix)
    ward_id = args.prefix.rsplit('/', 1)[-1]
    shot = lambda d, name: d.save_screenshot(os.path.join(args.shots, f'{name}.png'))
    driver = browser(1920, 1080)
    restarted = None
    try:
        # Without a session the page is the login form; a wrong password says so.
        driver.get(url + '/')
        check('/login' in driver.current_url, f'without a session / gave {driver.current_url}')
        login(driver, url, args.name, args.password + 'x')
        message, _ = wait_until(lambda: driver.find_element(By.ID, 'login-message').is_displayed(), 5)
        check(message, f'a wrong password shows no message: {driver.current_url} {driver.page_source[:300]}')
        check(driver.find_element(By.ID, 'login-message').text == 'Неверное имя или пароль',
              'wrong password: ' + driver.find_element(By.ID, 'login-message').text)
        shot(driver, 'login-failed')

        login(driver, url, args.name, args.password)
        shown, _ = wait_until(lambda: driver.find_element(By.ID, 'user-name').text == args.name, 10)
        check(shown, 'after the login the page does not name the account')

        # A ward with a call of every function code: each named in words on its card and, from calls
        # made weeks ago (outside the statistics' period), in the journal.
        words = Ward(args.broker_port, args.prefix.rsplit('/', 1)[0] + '/words')
        words.publish('status', 'online', retained=True)
        weeks_ago = (datetime.datetime.now().astimezone() - datetime.timedelta(days=40)).isoformat(timespec='seconds')
        for i, (function, _) in enumerate(CALL_WORDS):
            words.event('call', call=f'w{i}', code=f'w000{i}', function=function, time=weeks_ago)
        words.open_calls([{'call': f'w{i}', 'id': None, 'code': f'w000{i}', 'function': function,
                           'place': f'Койка {i}', 'ward': 'Палата 9', 'staff': '', 'time': weeks_ago, 'level': ''}
                          for i, (function, _) in enumerate(CALL_WORDS)])
        named, _ = wait_until(lambda: len(calls_of(driver, 'words')) == len(CALL_WORDS), 10)
        check(named, 'the calls of every function never appeared')
        kinds = [c.find_element(By.CSS_SELECTOR, '.call-kind').text for c in calls_of(driver, 'words')]
        check(kinds == [w for _, w in CALL_WORDS], f'the calls of {[f for f, _ in CALL_WORDS]} are named {kinds}')
        words.open_calls([])

        # A call: the ward comes online, publishes the call and its open list.
        ward.publish('status', 'online', retained=True)
        call_time = ward.now()
        published = time.monotonic()
        ward.event('call', call='k1')
        ward.open_calls([{'call': 'k1', 'id': None, 'code': 'f6186', 'function': '8', 'place': HOSTILE_PLACE,
                          'ward': 'Палата 5', 'staff': 'Тестова Анна', 'time': call_time, 'level': ''}])
        found, _ = wait_until(lambda: len(calls_of(driver, ward_id)) == 1, 10)
        took = time.monotonic() - published
        check(found, 'the published call never appeared')
        print(f'call shown {took * 1000:.0f} ms after its publish')
        check(took <= 1.0, f'the call appeared after {took:.2f} s')
        card = card_of(driver, ward_id)
        check('в сети' in card.find_element(By.CSS_SELECTOR, '.card-state').text, 'the ward is not shown online')
        call = calls_of(driver, ward_id)[0]
        check(call.find_element(By.CSS_SELECTOR, '.call-place').text == HOSTILE_PLACE,
              'the place is not shown as its text: ' + call.find_element(By.CSS_SELECTOR, '.call-place').text)
        check(not driver.find_elements(By.CSS_SELECTOR, '#ward-cards script'), 'a place became markup')
        check('Тестова Анна' in call.text and 'вызов' in call.text, 'the call lacks staff or kind: ' + call.text)
        first_wait = call.find_element(By.CSS_SELECTOR, '.call-wait').text
        counted, _ = wait_until(lambda: calls_of(driver, ward_id)[0].find_element(
            By.CSS_SELECTOR, '.call-wait').text != first_wait, 3)
        check(counted, f'the waiting time stays at {first_wait}')

        # A second ward with calls waiting long, at the warning and alarm levels: it comes first,
        # its calls coloured as the boards colour them, the waiting times as m:ss and h:mm:ss.
        other = Ward(args.broker_port, args.prefix.rsplit('/', 1)[0] + '/neuro')
        other.publish('status', 'online', retained=True)
        ago = lambda seconds: (datetime.datetime.now().astimezone()
                               - datetime.timedelta(seconds=seconds)).isoformat(timespec='seconds')
        other.open_calls([
            {'call': 'a1', 'id': 7, 'code': 'a0001', 'function': 'b', 'place': 'Койка № 2', 'ward': 'Палата 1',
             'staff': '', 'time': ago(3725), 'level': 'alarm'},
            {'call': 'a2', 'id': 8, 'code': 'a0002', 'function': '4', 'place': 'Койка № 3', 'ward': 'Палата 1',
             'staff': '', 'time': ago(370), 'level': 'warning'}])
        first, _ = wait_until(lambda: driver.find_elements(By.CSS_SELECTOR, '#ward-cards .card')[0]
                              .get_attribute('data-ward') == 'neuro' and len(calls_of(driver, 'neuro')) == 2, 10)
        check(first, 'the ward with an alarm is not the first card')
        expected = [('level-alarm', 'вызов отв.', r'1:02:0\d', {'rgba(198, 40, 40, 1)', 'rgba(124, 25, 25, 1)'}),
                    ('level-warning', 'прием', r'6:1\d', {'rgba(249, 168, 37, 1)'})]
        for call, (level, kind, wait, colours) in zip(calls_of(driver, 'neuro'), expected):
            text = call.find_element(By.CSS_SELECTOR, '.call-wait').text
            check(level in call.get_attribute('class'), f'{call.text}: not {level}')
            check(call.find_element(By.CSS_SELECTOR, '.call-kind').text == kind, f'{call.text}: not {kind}')
            check(re.fullmatch(wait, text), f'{call.text}: waiting {text}, not {wait}')
            check(call.value_of_css_property('background-color') in colours,
                  f'{call.text}: coloured {call.value_of_css_property("background-color")}')
        shot(driver, 'calls')

        # Its cancel takes it off.
        time.sleep(2)
        published = time.monotonic()
        ward.event('cancel', function='2', reaction=[{'call': 'k1', 'id': None, 'time': call_time, 'seconds': 3}])
        ward.open_calls([])
        gone, _ = wait_until(lambda: card_of(driver, ward_id) is not None and not calls_of(driver, ward_id), 10)
        took = time.monotonic() - published
        check(gone, 'the cancelled call stays on the page')
        print(f'call gone {took * 1000:.0f} ms after the cancel')
        check(took <= 1.0, f'the call went after {took:.2f} s')

        # The broker's last will: the ward turns offline, greyed.
        published = time.monotonic()
        ward.publish('status', 'offline', retained=True)
        offline, _ = wait_until(lambda: 'offline' in card_of(driver, ward_id).get_attribute('class'), 10)
        took = time.monotonic() - published
        check(offline, 'the ward is never shown offline')
        print(f'ward offline {took * 1000:.0f} ms after its status')
        check(took <= 2.0, f'the ward went offline after {took:.2f} s')
        state = card_of(driver, ward_id).find_element(By.CSS_SELECTOR, '.card-state').text
        check(state.startswith('нет связи с '), 'offline card says ' + state)
        check(card_of(driver, ward_id).value_of_css_property('filter').startswith('grayscale'),
              'the offline card is not greyed')
        shot(driver, 'calls-offline')

        # «Статистика»: the ward's row and both charts drawn with its call.
        driver.find_element(By.ID, 'tab-stats').click()
        row, _ = wait_until(lambda: [r for r in driver.find_elements(By.CSS_SELECTOR, '#stats-body tr')
                                     if r.find_element(By.CSS_SELECTOR, 'th').text == ward_id], 15)
        check(row, 'the statistics have no row of the ward: ' + driver.find_element(By.ID, 'stats-status').text)
        cells = [c.text for c in row[0].find_elements(By.CSS_SELECTOR, 'td')]
        check(cells[0] == '1' and cells[1] == '1', f'the ward\'s row says {cells}')
        heads = [h.text for h in driver.find_elements(By.CSS_SELECTOR, '#stats-head th')]
        check(heads[:2] == ['Отделение', 'Вызовов'] or 'Вызовов' in heads, f'the columns are {heads}')
        for canvas in ('chart-days', 'chart-hours'):
            state, _ = wait_until(lambda: driver.execute_script(CHART_STATE, canvas), 5)
            check(state and state['drawn'] > 1000, f'{canvas} drew nothing: {state}')
            values = [v for d in state['datasets'] for v in d['data'] if v]
            check(values, f'{canvas} has no value: {state["datasets"]}')
        days = driver.execute_script(CHART_STATE, 'chart-days')
        check([d['label'] for d in days['datasets']] == [ward_id], f'calls per day of {days["datasets"]}')
        href = driver.find_element(By.ID, 'stats-xlsx').get_attribute('href')
        check('/api/statistics.xlsx?first=' in href, 'the download link is ' + href)
        shot(driver, 'statistics')

        # «Журнал»: the call and its cancel, newest first, the place as text.
        driver.find_element(By.ID, 'tab-journal').click()
        rows, _ = wait_until(lambda: driver.find_elements(By.CSS_SELECTOR, '#journal-body tr'), 10)
        check(rows, 'the journal shows no event: ' + driver.find_element(By.ID, 'journal-status').text)
        kinds = [r.find_elements(By.CSS_SELECTOR, 'td')[2].text for r in rows]
        check(kinds[:2] == ['отмена', 'вызов'], f'the journal lists {kinds}')
        check(all(r.find_elements(By.CSS_SELECTOR, 'td')[3].text == HOSTILE_PLACE for r in rows[:2]),
              'the journal does not show the place as text')
        check(not driver.find_elements(By.CSS_SELECTOR, '#journal-body script'), 'a place became markup')
        wards = [o.get_attribute('value') for o in driver.find_elements(By.CSS_SELECTOR, '#journal-ward option')]
        check(ward_id in wards, f'the ward filter offers {wards}')
        named = {r.find_element(By.CSS_SELECTOR, 'td.code').text: r.find_element(By.CSS_SELECTOR, 'td.event').text
                 for r in rows if r.find_element(By.CSS_SELECTOR, 'td.ward').text == 'words'}
        expected = {f'w000{i}': w for i, (_, w) in enumerate(CALL_WORDS)}
        check(named == expected, f'the journal names the calls {named}, not {expected}')
        shot(driver, 'journal')

        check(no_alert(driver), 'a script of the data ran')
        errors = [e for e in driver.get_log('browser') if e.get('level') == 'SEVERE']
        check(not errors, f'the browser reported errors: {errors}')

        # Phones.
        for width, height in PHONES:
            check_phone(driver, width, height, ward_id, args.shots)
        check(no_alert(driver), 'a script of the data ran')

        # The laptop's screen.
        driver.set_window_size(1366, 768)
        driver.find_element(By.ID, 'tab-calls').click()
        time.sleep(0.5)
        shot(driver, 'calls-1366')

        # The centre stops: the page says it has lost it. The centre comes back without the sessions
        # of its last run: the page finds that out by itself and asks for a new login.
        os.kill(args.centre_pid, signal.SIGTERM)
        banner, took = wait_until(lambda: driver.find_element(By.ID, 'lost-banner').is_displayed(), 5)
        check(banner, 'no mark of the lost centre')
        check(driver.find_element(By.ID, 'lost-banner').text == 'Нет связи с центром — переподключение…',
              'the mark says ' + driver.find_element(By.ID, 'lost-banner').text)
        print(f'lost centre shown {took * 1000:.0f} ms after its stop')
        shot(driver, 'calls-lost')
        stopped = time.monotonic()
        restarted = start_centre(args.centre_exe)
        check(restarted, 'the centre does not start again')
        back, _ = wait_until(lambda: 'expired=1' in driver.current_url, 30, step=0.2)
        check(back, f'after the restart the page stays at {driver.current_url}')
        print(f'login asked for {time.monotonic() - stopped:.1f} s after the stop')
        check(driver.find_element(By.ID, 'login-message').text == 'Сеанс закончился, войдите снова',
              'the ended session says ' + driver.find_element(By.ID, 'login-message').text)
        login(driver, url, args.name, args.password)
        card, _ = wait_until(lambda: card_of(driver, ward_id), 10)
        check(card and 'offline' in card.get_attribute('class'), 'after a new login the ward\'s card is missing')
        check(not driver.find_element(By.ID, 'lost-banner').is_displayed(), 'the mark stays after the new login')
    finally:
        driver.quit()
        if restarted is not None:
            restarted.terminate()
            restarted.wait(15)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--url', required=True)
    parser.add_argument('--name', required=True)
    parser.add_argument('--password', required=True)
    parser.add_argument('--broker-port', type=int, required=True)
    parser.add_argument('--prefix', required=True, help='the test ward\'s topic prefix')
    parser.add_argument('--shots', required=True, help='folder of the screenshots')
    parser.add_argument('--centre-pid', type=int, required=True, help='the running centre, stopped at the end')
    parser.add_argument('--centre-exe', required=True, help='the centre\'s program, started again beside its settings')
    args = parser.parse_args()
    os.makedirs(args.shots, exist_ok=True)
    try:
        run(args)
    except Failure as failure:
        print(f'FAIL: {failure}', file=sys.stderr)
        return 1
    print('dashboard works in the browser')
    return 0


if __name__ == '__main__':
    sys.exit(main())
