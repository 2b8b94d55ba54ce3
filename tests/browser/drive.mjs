// Runs probes inside pages of a chromium that tests/e2e/test_browser.py
// started: for each job, a fresh browser context (no cache, no cookies, no
// remembered preflight), a page opened at the job's URL, one probe evaluated
// in it. Prints one JSON line per job: {"result": ...} or {"error": "..."}.
//
// BROWSER_WS: the DevTools endpoint; JOBS: [{url, probe, args}].
import puppeteer from 'puppeteer-core';

const JOB_TIMEOUT_MS = 20000;

// Each probe runs in the page, so it sees exactly what that page's script
// would see: bodies and headers only where CORS lets it read them.
const probes = {
    // A JSON fetch; `read` streams the body chunk by chunk as a chat UI does.
    request: async (url, init) => {
        try {
            const r = await fetch(url, init);
            let text = '';
            const reader = r.body.getReader();
            const dec = new TextDecoder();
            for (;;) {
                const { value, done } = await reader.read();
                if (done) break;
                text += dec.decode(value, { stream: true });
            }
            return { status: r.status, type: r.headers.get('content-type'), text };
        } catch (e) {
            return { error: String(e) };
        }
    },

    // What any web page can do without being allowed: simple requests the
    // browser sends without asking, plus a JSON fetch that needs a preflight.
    attack: async (target) => {
        const payload = '{"model":"m","messages":[{"role":"user","content":"spend the key"}]';
        const element = (tag, src) => new Promise((resolve) => {
            const e = document.createElement(tag);
            e.onload = () => resolve(tag + ' load');
            e.onerror = () => resolve(tag + ' error');
            e.src = src;
            document.body.appendChild(e);
        });
        // A text/plain form whose name=value pair is itself the JSON body.
        const form = () => new Promise((resolve) => {
            const frame = document.createElement('iframe');
            frame.name = 'sink';
            document.body.appendChild(frame);
            frame.onload = () => resolve('form answered');
            const f = document.createElement('form');
            f.method = 'POST';
            f.enctype = 'text/plain';
            f.target = 'sink';
            f.action = target + '/v1/chat/completions';
            const field = document.createElement('input');
            field.name = payload + ',"pad":"';
            field.value = '"}';
            f.appendChild(field);
            document.body.appendChild(f);
            f.submit();
        });
        const settle = (p) => p.then(() => 'answered', (e) => String(e));
        const outcomes = await Promise.all([
            element('img', target + '/api/chat'),
            element('script', target + '/v1/chat/completions'),
            form(),
            settle(fetch(target + '/v1/chat/completions', { method: 'POST', mode: 'no-cors', body: payload + '}' })),
            Promise.resolve(navigator.sendBeacon(target + '/api/chat', payload + '}') ? 'beacon queued' : 'beacon refused'),
            settle(fetch(target + '/v1/chat/completions', {
                method: 'POST', headers: { 'Content-Type': 'application/json' }, body: payload + '}',
            })),
        ]);
        return outcomes;
    },
};

const jobs = JSON.parse(process.env.JOBS);
const browser = await puppeteer.connect({ browserWSEndpoint: process.env.BROWSER_WS, protocolTimeout: JOB_TIMEOUT_MS });
try {
    for (const job of jobs) {
        const context = await browser.createBrowserContext();
        try {
            const page = await context.newPage();
            page.setDefaultTimeout(JOB_TIMEOUT_MS);
            await page.goto(job.url);
            const result = await page.evaluate(probes[job.probe], ...(job.args || []));
            console.log(JSON.stringify({ result }));
        } catch (e) {
            console.log(JSON.stringify({ error: String(e) }));
        } finally {
            await context.close();
        }
    }
} finally {
    await browser.disconnect();
}
