#!/usr/bin/python3
"""The house's dashboard in a real browser (headless Chromium driven by Selenium).

A test ward publishes to the broker as a ward server does; the page must show its call within one
second of the publish, take it off within one second of the cancel, grey the ward within two seconds
of its "offline" status, draw the statistics' charts and list the events in the journal, with a place
holding markup shown as text. Screenshots of each page go to --shots.

Exit status 0 when everything held; otherwise 1 with the reason on standard error.
"""

import argparse
import datetime
import json
import os
import subprocess
import sys
import time

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

HOSTILE_PLACE = '<script>alert(1)</script>"\''


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
    try:
        # Without a session the page is the login form; a wrong password says so.
        driver.get(url + '/')
        check('/login' in driver.current_url, f'without a session / gave {driver.current_url}')
        login(driver, url, args.name, args.password + 'x')
        message, _ = wait_until(lambda: driver.find_element(By.ID, 'login-message').is_displayed(), 5)
        check(message, 'a wrong password shows no message')
        check(driver.find_element(By.ID, 'login-message').text == 'Неверное имя или пароль',
              'wrong password: ' + driver.find_element(By.ID, 'login-message').text)
        shot(driver, 'login-failed')

        login(driver, url, args.name, args.password)
        shown, _ = wait_until(lambda: driver.find_element(By.ID, 'user-name').text == args.name, 10)
        check(shown, 'after the login the page does not name the account')

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
        shot(driver, 'journal')

        check(no_alert(driver), 'a script of the data ran')
        errors = [e for e in driver.get_log('browser') if e.get('level') == 'SEVERE']
        check(not errors, f'the browser reported errors: {errors}')

        # The laptop's screen.
        driver.set_window_size(1366, 768)
        driver.find_element(By.ID, 'tab-calls').click()
        time.sleep(0.5)
        shot(driver, 'calls-1366')
    finally:
        driver.quit()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--url', required=True)
    parser.add_argument('--name', required=True)
    parser.add_argument('--password', required=True)
    parser.add_argument('--broker-port', type=int, required=True)
    parser.add_argument('--prefix', required=True, help='the test ward\'s topic prefix')
    parser.add_argument('--shots', required=True, help='folder of the screenshots')
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
