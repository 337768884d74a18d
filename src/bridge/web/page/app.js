'use strict';
// The projector's page: reads /status.json every few seconds (the bridge's last readings; no
// request here ever reaches the projector) and sends each button as a POST with the session's
// token.
(() => {
    const RefreshMs = 3000;
    const token = document.querySelector('meta[name="rmq27-token"]').content;
    const byId = (id) => document.getElementById(id);
    const buttons = () => document.querySelectorAll('button[data-action]');
    let timer = 0;
    let said = {}; // what the live region last said of each state

    function show(id, value, unknown) {
        byId(id).textContent = value === null || value === undefined ? unknown || 'Unknown' : value;
    }

    function ago(seconds) {
        if (seconds < 60) {
            return `${seconds} s ago`;
        }
        if (seconds < 3600) {
            return `${Math.floor(seconds / 60)} min ago`;
        }
        return `${Math.floor(seconds / 3600)} h ago`;
    }

    // Says a change of the power state or of the projector's answering, once.
    function announce(s) {
        const now = { power: s.power, link: s.link };
        const parts = [];
        if (said.link !== undefined && now.link !== said.link) {
            parts.push(now.link + '.');
        }
        if (said.power !== undefined && now.power !== said.power && now.power) {
            parts.push(`Power: ${now.power}.`);
        }
        said = now;
        if (parts.length) {
            byId('announce').textContent = parts.join(' ');
        }
    }

    function render(s) {
        document.title = s.name ? `${s.name}: projector` : 'Projector';
        show('name', s.name, 'Projector');
        show('model', s.model, '');
        const link = byId('link');
        link.textContent = s.link;
        link.dataset.answering = s.answering ? 'yes' : 'no';
        show('power', s.power);
        show('input', s.input);
        show('mute', s.videoMute);
        show('lamp', s.lampHours);
        (s.temperatures || []).forEach((t, i) => show(`temp${i + 1}`, t));
        show('pressure', s.pressure);
        show('faults', s.faults ? (s.faults.length ? s.faults.join(', ') : 'None') : null);
        if (s.lastAnswered) {
            const at = new Date(s.lastAnswered).toLocaleTimeString();
            show('answered', `${at} (${ago(s.lastAnsweredSecondsAgo)})`);
        } else {
            show('answered', null, 'Not yet');
        }
        document.querySelectorAll('button[data-action^="input-"]').forEach((b) => {
            b.setAttribute('aria-pressed', String(b.textContent === s.input));
        });
        announce(s);
    }

    async function refresh() {
        clearTimeout(timer);
        try {
            const r = await fetch('/status.json', { cache: 'no-store', credentials: 'same-origin' });
            if (r.status === 401) {
                location.reload(); // the session ended: the sign-in form
                return;
            }
            render(await r.json());
        } catch (e) {
            const link = byId('link');
            link.textContent = 'The bridge does not answer this page';
            link.dataset.answering = 'no';
        }
        timer = setTimeout(refresh, RefreshMs);
    }

    function busy(on) {
        buttons().forEach((b) => {
            b.disabled = on;
        });
    }

    async function send(action) {
        const outcome = byId('outcome');
        outcome.dataset.outcome = 'sending';
        outcome.textContent = 'Sending…';
        busy(true);
        try {
            const r = await fetch('/control', {
                method: 'POST',
                credentials: 'same-origin',
                headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
                body: new URLSearchParams({ action, token }).toString(),
            });
            if (r.status === 403) {
                outcome.dataset.outcome = 'refused';
                outcome.textContent = 'Refused: sign in again.';
                return;
            }
            const answer = await r.json();
            outcome.dataset.outcome = answer.outcome;
            outcome.textContent = answer.message;
            if (answer.status) {
                render(answer.status);
            }
        } catch (e) {
            outcome.dataset.outcome = 'no-reply';
            outcome.textContent = 'The bridge did not answer. Check the network and try again.';
        } finally {
            busy(false);
        }
    }

    const confirmBox = byId('confirm');
    function closeConfirm() {
        confirmBox.hidden = true;
        byId('power-off').focus();
    }
    byId('power-off').addEventListener('click', () => {
        confirmBox.hidden = false;
        confirmBox.querySelector('button[data-action]').focus();
    });
    byId('cancel').addEventListener('click', closeConfirm);
    confirmBox.addEventListener('keydown', (e) => {
        if (e.key === 'Escape') {
            closeConfirm();
        }
    });
    buttons().forEach((b) => {
        b.addEventListener('click', () => {
            if (b.dataset.action === 'power-off') {
                closeConfirm();
            }
            send(b.dataset.action);
        });
    });
    refresh();
})();
