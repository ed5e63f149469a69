'use strict';

// The server sends a failed, throttled or ended login back here with a flag in the query; the page
// tells it in words.
(function () {
    const messages = {
        failed: 'Неверное имя или пароль',
        throttled: 'Слишком много попыток, подождите',
        expired: 'Сеанс закончился, войдите снова',
    };
    function showMessage() {
        const params = new URLSearchParams(window.location.search);
        const box = document.getElementById('login-message');
        for (const key of Object.keys(messages)) {
            if (params.has(key)) {
                box.textContent = messages[key];
                box.hidden = false;
                return;
            }
        }
        box.hidden = true;
    }
    document.addEventListener('DOMContentLoaded', showMessage);
})();
