// The real dravon program serving a PLC of dravon-plcsim (TCP on loopback) to
// node-opcua-client, for what only the real program, sockets and driver show: browse from
// Objects down to WR0010, exact NodeIds, device and cache reads that reach the simulator, a write into its
// memory, a subscription following it, Uncertain then Bad once the PLC stops answering,
// the session's client log lines and a clean end.
// Usage: node server.test.js <ua_test_server> (unused) ; DRAVON_PROGRAM and DRAVON_PLCSIM
// name the two programs.
"use strict";
const { run, check, freePort, until, waitForValue, overallLimit, finish, crashed } = require("../support/e2e");
const fs = require("fs");
const os = require("os");
const path = require("path");
const assert = require("assert");
const {
    OPCUAClient, MessageSecurityMode, SecurityPolicy, AttributeIds, DataType, StatusCodes,
    TimestampsToReturn, ClientSubscription, ClientMonitoredItem, NodeId,
} = require("node-opcua-client");

const dravonPath = process.env.DRAVON_PROGRAM;
const plcsimPath = process.env.DRAVON_PLCSIM;
const deadline = overallLimit("server.test.js", 110000);

// The simulator's command interface on its standard input: one answer line per command.
function simCommand(sim, command) {
    const from = sim.lines.length;
    sim.child.stdin.write(command + "\n");
    return sim.waitFor(/^(ok|error)/, 5000, from);
}

function storeText(simPort, uaPort) {
    const key = (p) => `key HKEY_LOCAL_MACHINE "${p.replace(/\\/g, "\\\\")}"`;
    return [
        "DRAVON-STORE 1",
        key("SOFTWARE\\Norvane\\Dravon\\PLCList"),
        'dword "Count" 1',
        'string "PLCName0" "PLC1"',
        'string "PLCIP0" "127.0.0.1"',
        `dword "PLCTcpPort0" ${simPort}`,
        'dword "ProtocolType0" 3',
        'dword "DrvType0" 2',
        'dword "TimeOut0" 500',
        key("SOFTWARE\\Norvane\\Dravon\\OpcUa"),
        `dword "Port" ${uaPort}`,
        "",
    ].join("\n");
}

async function main() {
    assert.ok(dravonPath && plcsimPath, "DRAVON_PROGRAM and DRAVON_PLCSIM must be set");
    const home = fs.mkdtempSync(path.join(os.tmpdir(), "dravon-ua-e2e-"));

    const sim = run(plcsimPath, ["--tcp", "127.0.0.1:0", "--set", "0 WR0010 4660"], process.env);
    const tcpLine = await sim.waitFor(/^tcp 0 /);
    const simPort = Number(/:(\d+) /.exec(tcpLine)[1]);
    await sim.waitFor(/^ready/);

    const uaPort = await freePort();
    fs.writeFileSync(path.join(home, "machine.store"), storeText(simPort, uaPort));
    const env = { ...process.env, DRAVON_HOME: home, QT_QPA_PLATFORM: "offscreen" };
    delete env.DISPLAY;
    delete env.WAYLAND_DISPLAY;
    const dravon = run(dravonPath, [], env);
    await dravon.waitFor(/OPC UA endpoint .* listening on 127\.0\.0\.1:/);

    const client = OPCUAClient.create({
        applicationName: "DravonE2E", endpointMustExist: false,
        securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
        connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 }, requestedSessionTimeout: 20000,
    });
    await client.connect(`opc.tcp://127.0.0.1:${uaPort}`);
    const session = await client.createSession();
    const wr0010 = "ns=1;s=PLC1.WR0010";

    await check("browse from Objects down to PLC1/WR/.../WR0010", async () => {
        let nodeId = "ns=0;i=85";
        for (const name of ["PLC1", "WR", "WR0xxx", "WR00xx", "WR001x", "WR0010"]) {
            const result = await session.browse(nodeId);
            assert.ok(result.statusCode.isGood(), result.statusCode.toString());
            const ref = result.references.find((r) => r.browseName.name === name);
            assert.ok(ref, `${name} not below ${nodeId}: ` + result.references.map((r) => r.browseName.name).join(","));
            nodeId = ref.nodeId.toString();
        }
        assert.strictEqual(nodeId, wr0010);
    });

    await check("a device read (maxAge 0) brings the simulator's value", async () => {
        const [value, dataType] = await session.read([
            { nodeId: wr0010, attributeId: AttributeIds.Value },
            { nodeId: wr0010, attributeId: AttributeIds.DataType },
        ], 0);
        assert.deepStrictEqual([value.statusCode.value, value.value.dataType, value.value.value, dataType.value.value.toString(),
            value.sourceTimestamp instanceof Date], [0, DataType.UInt16, 4660, "ns=0;i=5", true]);
    });

    await check("NodeIds are exact: only the canonical spelling resolves", async () => {
        const rows = [ // spelling, resolves
            ["PLC1.WR0010", true], ["PLC1.WR0010s", true], ["PLC1.WR0010.arr.2", true], ["Sys.ServerUpTime", true],
            ["/PLC1/WR/WR0xxx", true], ["plc1.wr0010", false], [" PLC1.WR0010", false], ["PLC1.WR0010   ", false],
            ["PLC1.WR0010\u0000", false], ["PLC1.WR0011\r\n", false], ["PLC1.WR10", false], ["PLC1.WR0010S", false],
            ["sys.serveruptime", false], ["/plc1/WR", false], ["/PLC1/WR/WR0XXX", false], ["PLC1.WRXYZ", false],
            ["/PLC1/NOPE", false], ["PLC1.NOPE", false], ["PLC9.WR0010", false],
        ];
        const values = await session.read(rows.map(([id]) => ({ nodeId: new NodeId(NodeId.NodeIdType.STRING, id, 1), attributeId: AttributeIds.NodeClass })));
        rows.forEach(([id, ok], i) => assert.strictEqual(values[i].statusCode.isGood(), ok, JSON.stringify(id)));
        const write = await session.write({ nodeId: new NodeId(NodeId.NodeIdType.STRING, "PLC1.WR0011\r\n", 1), attributeId: AttributeIds.Value,
            value: { value: { dataType: DataType.UInt16, value: 5 } } });
        assert.strictEqual(write.value, StatusCodes.BadNodeIdUnknown.value);
    });

    await check("a read with maxAge > 0 of a value nobody holds asks the PLC", async () => {
        await simCommand(sim, "set 0 WR0020 321");
        const cached = await session.read({ nodeId: "ns=1;s=PLC1.WR0020", attributeId: AttributeIds.Value }, 10000);
        assert.deepStrictEqual([cached.statusCode.value, cached.value.value], [0, 321]);
    });

    await check("a write reaches the simulator's memory", async () => {
        const status = await session.write({ nodeId: wr0010, attributeId: AttributeIds.Value,
            value: { value: { dataType: DataType.UInt16, value: 1234 } } });
        assert.ok(status.isGood(), status.toString());
        await until(async () => (await simCommand(sim, "get 0 WR0010")).startsWith("ok 1234 "), 10000,
            "WR0010 = 1234 in the simulator");
    });

    let subscription = null;
    let item = null;
    await check("a subscription follows the simulator's memory", async () => {
        subscription = ClientSubscription.create(session, {
            requestedPublishingInterval: 100, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10,
            maxNotificationsPerPublish: 1000, publishingEnabled: true, priority: 1,
        });
        await new Promise((resolve) => subscription.once("started", resolve));
        assert.strictEqual(subscription.publishingInterval, 100);
        item = ClientMonitoredItem.create(subscription, { nodeId: wr0010, attributeId: AttributeIds.Value },
            { samplingInterval: 100, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
        await waitForValue(item, (dv) => dv.value.value === 1234 && dv.statusCode.isGood());
        const answer = await simCommand(sim, "set 0 WR0010 77");
        assert.ok(answer.startsWith("ok"), answer);
        assert.ok((await waitForValue(item, (dv) => dv.value.value === 77)).statusCode.isGood());
        // Server variables and the standard ServerStatus are monitored items as well.
        for (const nodeId of ["ns=1;s=Sys.ServerUpTime", "ns=0;i=2258"]) {
            const other = ClientMonitoredItem.create(subscription, { nodeId, attributeId: AttributeIds.Value },
                { samplingInterval: 100, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
            const first = await waitForValue(other, (dv) => dv.statusCode.isGood());
            await waitForValue(other, (dv) => dv.value.value.toString() !== first.value.value.toString(), 5000);
            await other.terminate();
        }
    });

    await check("a PLC that stops answering turns the value Uncertain, then Bad", async () => {
        assert.ok(item, "no monitored item");
        const seen = [];
        const bad = waitForValue(item, (dv) => { seen.push(dv.statusCode.value); return dv.statusCode.isBad(); }, 30000);
        const answer = await simCommand(sim, "power off");
        assert.ok(answer.startsWith("ok"), answer);
        const dv = await bad;
        assert.strictEqual(dv.statusCode.value, StatusCodes.BadNoCommunication.value);
        assert.ok(seen.some((s) => (s & 0xC0000000) === 0x40000000), "no Uncertain on the way: " + seen.join(","));
        // A write is not Good before the PLC has it, and a refused one is not sent later.
        const write = await session.write({ nodeId: wr0010, attributeId: AttributeIds.Value,
            value: { value: { dataType: DataType.UInt16, value: 999 } } });
        assert.ok([StatusCodes.BadNoCommunication.value, StatusCodes.BadTimeout.value].includes(write.value), write.toString());
        await simCommand(sim, "power on");
        const back = await waitForValue(item, (v) => v.statusCode.isGood(), 30000);
        assert.notStrictEqual(back.value.value, 999);
    });

    await check("the session is a server object with its client log lines", async () => {
        await dravon.waitFor(/Client connected at /);
        await dravon.waitFor(/Client identifies itself as /);
        if (subscription) await subscription.terminate();
        const from = dravon.lines.length;
        await session.close();
        await client.disconnect();
        await dravon.waitFor(/Client .+ disconnected at /, 15000, from);
    });

    dravon.child.kill("SIGTERM");
    const end = await dravon.exited;
    await check("the program ends cleanly", async () => {
        assert.strictEqual(end.code, 0, JSON.stringify(end) + "\n" + dravon.lines.slice(-30).join("\n"));
    });
    sim.child.stdin.write("quit\n");
    await sim.exited;
    fs.rmSync(home, { recursive: true, force: true });
    finish(deadline);
}

main().catch(crashed);
