// Helpers of the Node.js end-to-end tests: children whose output lines can be awaited,
// named checks that count passes and failures, free loopback ports and bounded waits.
"use strict";
const { spawn } = require("child_process");
const net = require("net");
const path = require("path");

const children = [];
const tally = { passed: 0, failed: 0 };

// A child whose output lines can be awaited, every wait bounded.
function run(program, args, env, verbose) {
    const child = spawn(program, args, { stdio: ["pipe", "pipe", "pipe"], env });
    children.push(child);
    const lines = [];
    const waiters = [];
    let buffer = "";
    const take = (chunk) => {
        buffer += chunk.toString();
        let eol;
        while ((eol = buffer.indexOf("\n")) >= 0) {
            const line = buffer.slice(0, eol);
            buffer = buffer.slice(eol + 1);
            lines.push(line);
            if (verbose) console.log(path.basename(program) + ": " + line);
            for (const w of [...waiters]) {
                if (w.re.test(line)) {
                    waiters.splice(waiters.indexOf(w), 1);
                    w.resolve(line);
                }
            }
        }
    };
    child.stdout.on("data", take);
    child.stderr.on("data", take);
    const waitFor = (re, ms = 15000, from = 0) => new Promise((resolve, reject) => {
        const found = lines.slice(from).find((l) => re.test(l));
        if (found) return resolve(found);
        const w = { re, resolve };
        waiters.push(w);
        setTimeout(() => {
            const i = waiters.indexOf(w);
            if (i >= 0) waiters.splice(i, 1);
            reject(new Error("timed out waiting for " + re));
        }, ms);
    });
    const exited = new Promise((resolve) => child.on("exit", (code, signal) => resolve({ code, signal })));
    return { child, lines, waitFor, exited };
}

async function check(name, fn) {
    try {
        await fn();
        tally.passed++;
        console.log("ok   " + name);
    } catch (err) {
        tally.failed++;
        console.log("FAIL " + name + ": " + (err && err.stack ? err.stack : err));
    }
}

function freePort() {
    return new Promise((resolve, reject) => {
        const s = net.createServer();
        s.on("error", reject);
        s.listen(0, "127.0.0.1", () => {
            const port = s.address().port;
            s.close(() => resolve(port));
        });
    });
}

async function until(predicate, ms, what) {
    const end = Date.now() + ms;
    for (;;) {
        if (await predicate()) return;
        if (Date.now() > end) throw new Error("timed out: " + what);
        await new Promise((r) => setTimeout(r, 50));
    }
}

// Ends every child and the process after the overall bound.
function overallLimit(name, ms) {
    return setTimeout(() => {
        console.error(name + ": overall time limit reached");
        killAll();
        process.exit(2);
    }, ms);
}

// A test server that takes commands on its standard input, one a line.
function serve(program, args) {
    const server = run(program, args, process.env, process.env.UA_TEST_VERBOSE);
    server.send = (command) => server.child.stdin.write(command + "\n");
    return server;
}

// The next "changed" value of a monitored item that the predicate accepts.
function waitForValue(item, predicate, ms = 10000) {
    return new Promise((resolve, reject) => {
        let last = null;
        const timer = setTimeout(() => {
            item.removeListener("changed", onChange);
            reject(new Error("no matching notification; last " + (last ? last.toString() : "none")));
        }, ms);
        const onChange = (dv) => {
            last = dv;
            if (predicate(dv)) {
                clearTimeout(timer);
                item.removeListener("changed", onChange);
                resolve(dv);
            }
        };
        item.on("changed", onChange);
    });
}

// Prints the tally in the line ctest reads and exits: 0 only when something passed and
// nothing failed.
function finish(limit) {
    if (limit) clearTimeout(limit);
    killAll();
    console.log(`${tally.passed} passed, ${tally.failed} failed`);
    process.exit(tally.failed === 0 && tally.passed > 0 ? 0 : 1);
}

function crashed(err) {
    console.error(err);
    tally.failed++;
    finish();
}

function killAll() {
    for (const c of children) if (c.exitCode === null && c.signalCode === null) c.kill("SIGKILL");
}

module.exports = { run, serve, check, freePort, until, waitForValue, overallLimit, finish, crashed, killAll, tally };
