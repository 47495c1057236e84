// The real dravon program as a Sparkplug B edge node for a PLC of dravon-plcsim, publishing
// to Debian's mosquitto on a free loopback port, read by a third-party subscriber (npm mqtt
// + sparkplug-payload): births, data on change with a deadband, seq continuity and wrap,
// DDEATH/DBIRTH on PLC time-out and restore, rebirth on NCMD, reconnect after a broker
// restart with the current state, NDEATH on SIGKILL, DCMD refused and then written.
// Environment: DRAVON_PROGRAM, DRAVON_PLCSIM, MOSQUITTO.
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const assert = require("assert");
const mqtt = require("mqtt");
const sparkplug = require("sparkplug-payload").get("spBv1.0");
const { run, check, freePort, until, overallLimit, finish, crashed } = require("../support/e2e.js");

const verbose = !!process.env.MQTT_TEST_VERBOSE;
const deadline = overallLimit("edge.test.js", 140000);
const num = (x) => (x === null || x === undefined || typeof x === "number" ? x : Number(x.toString()));
const group = "Plant";
const edge = "edge1";
const topic = (type, device) => `spBv1.0/${group}/${type}/${edge}` + (device ? "/" + device : "");

// What a Sparkplug host keeps: every message decoded, the seq order checked, the metric
// names behind the aliases and the current value of each metric.
const host = { messages: [], seqErrors: [], wraps: 0, lastSeq: null, names: {}, current: {}, types: {} };
function observe(t, bytes) {
    const kind = t.split("/")[2];
    const payload = sparkplug.decodePayload(bytes);
    const seq = num(payload.seq);
    const message = { topic: t, kind, device: t.split("/")[4], payload, seq };
    host.messages.push(message);
    if (kind === "NDEATH" || kind.endsWith("CMD")) return; // the host's own commands come back too
    if (kind === "NBIRTH") {
        if (seq !== 0) host.seqErrors.push(`NBIRTH seq ${seq}`);
    } else if (host.lastSeq !== null) {
        if (seq !== (host.lastSeq + 1) % 256) host.seqErrors.push(`${kind} seq ${seq} after ${host.lastSeq}`);
        if (seq === 0 && host.lastSeq === 255) host.wraps++;
    }
    host.lastSeq = seq;
    for (const m of payload.metrics || []) {
        const alias = num(m.alias);
        if (kind.endsWith("BIRTH") && alias !== undefined) host.names[alias] = m.name;
        const name = m.name || host.names[alias];
        if (kind.endsWith("BIRTH") || kind === "DDATA") {
            host.current[name] = m.value === null ? null : num(m.value);
            if (m.type) host.types[name] = m.type;
        }
    }
}
// The next message matching the predicate, from the given position on.
function next(predicate, from, ms = 15000, what = "message") {
    return until(() => host.messages.slice(from).some(predicate), ms, what)
        .then(() => host.messages.slice(from).find(predicate));
}
const metricsOf = (m) => (m.payload.metrics || []).map((x) => x.name || host.names[num(x.alias)]);

function storeText(simPort, brokerPort, allowWrites) {
    const key = (p) => `key HKEY_LOCAL_MACHINE "${p.replace(/\\/g, "\\\\")}"`;
    return [
        "DRAVON-STORE 1",
        key("SOFTWARE\\Norvane\\Dravon\\PLCList"),
        'dword "Count" 1', 'string "PLCName0" "PLC1"', 'string "PLCIP0" "127.0.0.1"',
        `dword "PLCTcpPort0" ${simPort}`, 'dword "ProtocolType0" 3', 'dword "DrvType0" 2', 'dword "TimeOut0" 500',
        key("SOFTWARE\\Norvane\\Dravon\\OpcUa"), 'dword "Enabled" 0',
        key("SOFTWARE\\Norvane\\Dravon\\Mqtt"),
        'dword "Enabled" 1', `string "BrokerUrl" "mqtt://127.0.0.1:${brokerPort}"`,
        `string "GroupId" "${group}"`, `string "EdgeNodeId" "${edge}"`, 'dword "PublishPeriod" 25',
        `dword "AllowWrites" ${allowWrites ? 1 : 0}`, 'dword "KeepAlive" 5', 'dword "ItemCount" 3',
        'string "Item0" "PLC1.WR0010"',
        'string "Item1" "PLC1.WR0011"', 'string "Metric1" "Speed"', 'string "Type1" "Int16"', 'string "Deadband1" "5"',
        'string "Item2" "PLC1.WR0012"',
        "",
    ].join("\n");
}

function startBroker(port, dir) {
    const conf = path.join(dir, "mosquitto.conf");
    fs.writeFileSync(conf, `listener ${port} 127.0.0.1\nallow_anonymous true\npersistence false\n`);
    const broker = run(process.env.MOSQUITTO, ["-c", conf, "-v"], process.env, verbose);
    return broker.waitFor(/running|Opening ipv4 listen socket/, 10000).then(() => broker);
}

function startDravon(simPort, brokerPort, allowWrites) {
    const home = fs.mkdtempSync(path.join(os.tmpdir(), "dravon-mqtt-e2e-"));
    fs.writeFileSync(path.join(home, "machine.store"), storeText(simPort, brokerPort, allowWrites));
    const { DISPLAY, WAYLAND_DISPLAY, ...env } = process.env; // no display: the offscreen platform
    return run(process.env.DRAVON_PROGRAM, [], { ...env, DRAVON_HOME: home, QT_QPA_PLATFORM: "offscreen" }, verbose);
}

function simCommand(sim, command) {
    const from = sim.lines.length;
    sim.child.stdin.write(command + "\n");
    return sim.waitFor(/^(ok|error)/, 5000, from);
}

async function main() {
    for (const v of ["DRAVON_PROGRAM", "DRAVON_PLCSIM", "MOSQUITTO"]) assert.ok(process.env[v], v + " must be set");
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), "dravon-mqtt-broker-"));
    const brokerPort = await freePort();
    let broker = await startBroker(brokerPort, dir);
    const sim = run(process.env.DRAVON_PLCSIM,
        ["--tcp", "127.0.0.1:0", "--set", "0 WR0010 4660", "--set", "0 WR0011 100"], process.env, verbose);
    const simPort = Number(/:(\d+) /.exec(await sim.waitFor(/^tcp 0 /))[1]);
    await sim.waitFor(/^ready/);

    const subscriber = mqtt.connect(`mqtt://127.0.0.1:${brokerPort}`, { reconnectPeriod: 100, connectTimeout: 5000 });
    subscriber.on("message", observe);
    subscriber.on("error", () => {});
    const command = (t, metric) =>
        subscriber.publish(t, sparkplug.encodePayload({ timestamp: Date.now(), metrics: [metric] }));
    await new Promise((resolve) => subscriber.once("connect", resolve));
    await subscriber.subscribeAsync(`spBv1.0/${group}/#`, { qos: 1 });

    let dravon = startDravon(simPort, brokerPort, false);

    await check("births: NBIRTH with bdSeq and Node Control/Rebirth, DBIRTH with names, types and values", async () => {
        await dravon.waitFor(/MQTT broker mqtt:\/\/127\.0\.0\.1:\d+ connected/);
        const nbirth = await next((m) => m.kind === "NBIRTH", 0);
        const fields = (m, value) => [m.name, m.type, value];
        assert.deepStrictEqual(nbirth.payload.metrics.map((m) => fields(m, m.value === false ? false : num(m.value))),
            [["bdSeq", "UInt64", 0], ["Node Control/Rebirth", "Boolean", false]]);
        const dbirth = await next((m) => m.kind === "DBIRTH" && m.device === "PLC1", 0);
        const stamped = (m) => m.alias !== undefined && m.timestamp !== undefined;
        assert.deepStrictEqual(dbirth.payload.metrics.map((m) => fields(m, stamped(m))),
            [["WR0010", "UInt16", true], ["Speed", "Int16", true], ["WR0012", "UInt16", true]]);
        await until(() => host.current.WR0010 === 4660 && host.current.Speed === 100, 10000, "the PLC's values");
    });

    await check("data on change: DDATA carries only the changed metric, by alias", async () => {
        const from = host.messages.length;
        await simCommand(sim, "set 0 WR0010 77");
        const ddata = await next((m) => m.kind === "DDATA" && metricsOf(m).includes("WR0010"), from);
        assert.deepStrictEqual(metricsOf(ddata), ["WR0010"]);
        assert.strictEqual(ddata.payload.metrics[0].name, undefined);
        assert.strictEqual(host.current.WR0010, 77);
    });

    await check("deadband: a change of 3 on Speed (deadband 5) is not published, one of 7 is, signed", async () => {
        const from = host.messages.length;
        await simCommand(sim, "set 0 WR0011 103");
        await simCommand(sim, "set 0 WR0010 78");
        await next((m) => m.kind === "DDATA" && host.current.WR0010 === 78, from);
        await simCommand(sim, "set 0 WR0010 79"); // a full cycle later: 103 was read and held back
        await next((m) => m.kind === "DDATA" && host.current.WR0010 === 79, from);
        assert.ok(!host.messages.slice(from).some((m) => m.kind === "DDATA" && metricsOf(m).includes("Speed")));
        await simCommand(sim, "set 0 WR0011 0xFFF9");
        await until(() => host.current.Speed === -7, 10000, "Speed -7");
    });

    await check("seq runs 0..255 and wraps to 0 without a gap", async () => {
        await simCommand(sim, "anim counter 0 WR0012 10");
        await until(() => host.wraps >= 1, 40000, "a seq wrap");
        await simCommand(sim, "anim clear");
        assert.deepStrictEqual(host.seqErrors, []);
    });

    await check("a DCMD is refused while writes from the broker are off", async () => {
        const from = dravon.lines.length;
        command(topic("DCMD", "PLC1"), { name: "Speed", type: "Int16", value: 55 });
        await dravon.waitFor(/MQTT command to PLC1 refused: writes from the broker are not allowed/, 10000, from);
        assert.match(await simCommand(sim, "get 0 WR0011"), /^ok 65529 /);
    });

    await check("NCMD Node Control/Rebirth: NBIRTH (seq 0, same bdSeq) and DBIRTH again", async () => {
        const from = host.messages.length;
        command(topic("NCMD"), { name: "Node Control/Rebirth", type: "Boolean", value: true });
        const nbirth = await next((m) => m.kind === "NBIRTH", from);
        assert.strictEqual(num(nbirth.payload.metrics.find((m) => m.name === "bdSeq").value), 0);
        await next((m) => m.kind === "DBIRTH", from);
    });

    await check("a PLC that times out gets DDEATH; restored, DBIRTH with its current values", async () => {
        const from = host.messages.length;
        await simCommand(sim, "power off");
        await next((m) => m.kind === "DDEATH" && m.device === "PLC1", from, 20000, "DDEATH");
        const after = host.messages.length;
        await simCommand(sim, "set 0 WR0010 321");
        await simCommand(sim, "power on");
        const dbirth = await next((m) => m.kind === "DBIRTH" && m.device === "PLC1", after, 20000, "DBIRTH");
        await until(() => host.current.WR0010 === 321, 10000, "WR0010 = 321 after the DBIRTH");
        assert.ok(dbirth);
        assert.deepStrictEqual(host.seqErrors, []);
    });

    await check("reconnect after a broker restart: new bdSeq, births with the current state", async () => {
        const from = host.messages.length;
        const lines = dravon.lines.length;
        broker.child.kill("SIGTERM");
        await broker.exited;
        await dravon.waitFor(/MQTT broker .* disconnected: /, 10000, lines);
        await simCommand(sim, "set 0 WR0010 4242");
        broker = await startBroker(brokerPort, dir);
        const nbirth = await next((m) => m.kind === "NBIRTH", from, 30000, "NBIRTH after the restart");
        assert.ok(num(nbirth.payload.metrics.find((m) => m.name === "bdSeq").value) >= 1);
        const dbirth = await next((m) => m.kind === "DBIRTH", from, 10000, "DBIRTH after the restart");
        const value = dbirth.payload.metrics.find((m) => m.name === "WR0010").value;
        assert.ok(value === 4242 || value === null, "DBIRTH WR0010 " + value);
        await until(() => host.current.WR0010 === 4242, 10000, "WR0010 = 4242 as the current state");
    });

    await check("SIGKILL: the broker publishes NDEATH with the bdSeq of the last NBIRTH", async () => {
        const births = host.messages.filter((m) => m.kind === "NBIRTH");
        const bdSeq = num(births[births.length - 1].payload.metrics.find((m) => m.name === "bdSeq").value);
        const from = host.messages.length;
        dravon.child.kill("SIGKILL");
        await dravon.exited;
        const ndeath = await next((m) => m.kind === "NDEATH", from, 15000, "NDEATH");
        assert.strictEqual(num(ndeath.payload.metrics.find((m) => m.name === "bdSeq").value), bdSeq);
    });

    await check("with writes allowed a DCMD reaches the simulator; SIGTERM ends with NDEATH", async () => {
        const births = host.messages.length;
        dravon = startDravon(simPort, brokerPort, true);
        // NBIRTH follows the node's SUBSCRIBE: from then on DCMD reaches it.
        await next((m) => m.kind === "NBIRTH", births, 15000, "NBIRTH of the second run");
        command(topic("DCMD", "PLC1"), { name: "Speed", type: "Int16", value: 55 });
        await until(async () => /^ok 55 /.test(await simCommand(sim, "get 0 WR0011")), 10000,
            "WR0011 = 55; dravon: " + dravon.lines.filter((l) => /MQTT/.test(l)).join("; "));
        const from = host.messages.length;
        dravon.child.kill("SIGTERM");
        const end = await dravon.exited;
        assert.strictEqual(end.code, 0, JSON.stringify(end) + "\n" + dravon.lines.slice(-20).join("\n"));
        await next((m) => m.kind === "NDEATH", from, 10000, "NDEATH on shut-down");
    });

    subscriber.end(true);
    sim.child.stdin.write("quit\n"); // a simulator that ends on its own writes its coverage data
    await sim.exited;
    fs.rmSync(dir, { recursive: true, force: true });
    finish(deadline);
}

main().catch(crashed);
