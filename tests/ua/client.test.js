// node-opcua-client against the endpoint over the in-memory backend (security None): what
// the C++ tests cannot show from a third-party client's side: endpoints, browse paths and pages,
// the standard address space, monitored-item queues and deadbands, triggering, transfer,
// a write refused by the PLC and the shut-down notice.
// Usage: node client.test.js <path to ua_test_server>
"use strict";
const { serve, check, until, overallLimit, finish, crashed } = require("../support/e2e");
const assert = require("assert");
const {
    OPCUAClient, MessageSecurityMode, SecurityPolicy, AttributeIds, DataType, StatusCodes,
    TimestampsToReturn, ClientSubscription, ClientMonitoredItem, makeBrowsePath, BrowseDirection,
    DataChangeFilter, DataChangeTrigger, DeadbandType,
} = require("node-opcua-client");

const serverPath = process.argv[2];
const deadline = overallLimit("client.test.js", 100000);

async function main() {
    const server = serve(serverPath, ["0", "90"]);
    const url = `opc.tcp://127.0.0.1:${(await server.waitFor(/^PORT \d+/)).split(" ")[1]}`;
    const client = OPCUAClient.create({
        applicationName: "DravonUaTest", endpointMustExist: false,
        securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
        connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 }, requestedSessionTimeout: 10000,
    });
    await client.connect(url);
    const session = await client.createSession();
    const wr0010 = "ns=1;s=PLC1.WR0010";

    await check("one endpoint without certificates: None, anonymous", async () => {
        const endpoints = await client.getEndpoints();
        assert.deepStrictEqual(endpoints.map((e) => [e.securityPolicyUri, e.userIdentityTokens[0].policyId]),
            [[SecurityPolicy.None, "anonymous"]]);
    });

    await check("Objects holds Server and Sys; browse paths resolve, inverse and without subtypes", async () => {
        const names = (await session.browse({ nodeId: "ns=0;i=85", nodeClassMask: 1, resultMask: 8 })).references.map((r) => r.browseName.name);
        assert.ok(names.includes("Server") && names.includes("Sys") && !names.includes("FolderType"), names.join(","));
        const [result, up, exact] = await session.translateBrowsePath([
            makeBrowsePath("ns=0;i=85", "/1:PLC1/1:WR/1:WR0xxx/1:WR00xx/1:WR001x/1:WR0010"),
            makeBrowsePath("ns=0;i=2253", "<!Organizes>Objects"),
            makeBrowsePath("ns=0;i=85", "<#HierarchicalReferences>Server")]);
        assert.deepStrictEqual([result.statusCode.value, ...[result, up].map((r) => r.targets.map((t) => t.targetId.toString())), exact.statusCode.value],
            [0, [wr0010], ["ns=0;i=85"], StatusCodes.BadNoMatch.value]);
    });

    await check("browse in pages of the size asked for, with continuation points used once", async () => {
        session.requestedMaxReferencesPerNode = 5;
        const folder = "ns=1;s=/PLC1/WR/WR0xxx/WR00xx/WR001x";
        let result = await session.browse({ nodeId: folder, browseDirection: 0, includeSubtypes: true, resultMask: 63 });
        const pages = [];
        let used = null;
        for (;;) {
            pages.push(result.references.map((r) => r.browseName.name).join(" "));
            if (!result.continuationPoint || !result.continuationPoint.length) break;
            used = result.continuationPoint;
            result = await session.browseNext(used, false);
        }
        session.requestedMaxReferencesPerNode = 0;
        assert.deepStrictEqual(pages, ["WR0010 WR0011 WR0012 WR0013 WR0014", "WR0015 WR0016 WR0017 WR0018 WR0019",
            "WR001A WR001B WR001C WR001D WR001E", "WR001F WR0010s FolderType"]);
        const again = await session.browseNext(used, false);
        assert.strictEqual(again.statusCode.value, StatusCodes.BadContinuationPointInvalid.value);
        session.requestedMaxReferencesPerNode = 1; // sixteen points a session
        const held = await session.browse(Array(17).fill("ns=0;i=85"));
        session.requestedMaxReferencesPerNode = 0;
        assert.deepStrictEqual(held.map((r) => r.statusCode.value).slice(15), [0, StatusCodes.BadNoContinuationPoints.value]);
        await session.browseNext(held.slice(0, 16).map((r) => r.continuationPoint), true);
    });

    await check("server state, build info and a server variable", async () => {
        const [state, upTime, status] = await session.read([
            { nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value },
            { nodeId: "ns=1;s=Sys.ServerUpTime", attributeId: AttributeIds.Value },
            { nodeId: "ns=0;i=2256", attributeId: AttributeIds.Value },
        ]);
        assert.deepStrictEqual([state.value.value, upTime.value.value, status.value.value.buildInfo.productUri],
            [0, "0:00:05", "urn:Norvane:Dravon"]);
    });

    await check("every node a browse of namespace 0 points to exists, types included", async () => {
        const seen = new Set(["ns=0;i=84"]);
        let layer = ["ns=0;i=84"];
        while (layer.length) {
            const results = await session.browse(layer.map((nodeId) => ({
                nodeId, browseDirection: BrowseDirection.Both, includeSubtypes: true, resultMask: 63 })));
            const next = [];
            for (const result of results) {
                assert.ok(result.statusCode.isGood(), result.statusCode.toString());
                for (const id of result.references.flatMap((r) => [r.nodeId, r.referenceTypeId, r.typeDefinition])) {
                    const text = id.toString();
                    if (id.isEmpty() || id.namespace !== 0 || seen.has(text)) continue;
                    seen.add(text);
                    next.push(text);
                }
            }
            layer = next;
        }
        const ids = [...seen];
        const classes = await session.read(ids.map((nodeId) => ({ nodeId, attributeId: AttributeIds.NodeClass })));
        classes.forEach((dv, i) => assert.ok(dv.statusCode.isGood(), ids[i] + " " + dv.statusCode.toString()));
        for (const id of [5, 4, 12, 294, 852, 862, 338, 61, 58, 63, 68, 2004, 2138, 35, 40, 45, 46, 47, 2274, 2296])
            assert.ok(seen.has("ns=0;i=" + id), "not reached: i=" + id);
        assert.ok(seen.size > 100, "only " + seen.size + " nodes");
    });

    await check("type attributes and the mandatory Server parts", async () => {
        const rows = [ // node, attribute, expected value
            ["ns=0;i=45", AttributeIds.InverseName, (v) => v.text === "SubtypeOf"],
            ["ns=0;i=35", AttributeIds.InverseName, (v) => v.text === "OrganizedBy"],
            ["ns=0;i=31", AttributeIds.Symmetric, (v) => v === true],
            ["ns=0;i=24", AttributeIds.IsAbstract, (v) => v === true],
            ["ns=0;i=5", AttributeIds.IsAbstract, (v) => v === false],
            ["ns=0;i=2994", AttributeIds.Value, (v) => v === false], // Auditing
            ["ns=0;i=2294", AttributeIds.Value, (v) => v === false], // ServerDiagnostics.EnabledFlag
            ["ns=0;i=3709", AttributeIds.Value, (v) => v === 0], // RedundancySupport None
            ["ns=0;i=12911", AttributeIds.Value, (v) => v > 0], // MaxByteStringLength
            ["ns=0;i=11702", AttributeIds.Value, (v) => v > 0], // MaxArrayLength
            ["ns=0;i=2272", AttributeIds.Value, (v) => v === 25], // MinSupportedSampleRate
            ["ns=0;i=2267", AttributeIds.Value, (v) => v === 255], // ServiceLevel
            ["ns=0;i=2735", AttributeIds.Value, (v) => v === 16], // MaxBrowseContinuationPoints
            [wr0010 + "/EURange", AttributeIds.Value, (v) => v.low === 0 && v.high === 65535],
            [wr0010 + "s/EURange", AttributeIds.Value, (v) => v.low === -32768 && v.high === 32767],
        ];
        const values = await session.read(rows.map(([nodeId, attributeId]) => ({ nodeId, attributeId })));
        rows.forEach(([node, attribute, ok], i) =>
            assert.ok(values[i].statusCode.isGood() && ok(values[i].value.value),
                `${node} attribute ${attribute}: ${values[i].toString()}`));
        const up = await session.browse({ nodeId: "ns=0;i=5", browseDirection: BrowseDirection.Inverse,
            referenceTypeId: "ns=0;i=45", resultMask: 63 });
        assert.deepStrictEqual(up.references.map((r) => r.nodeId.toString()), ["ns=0;i=28"]); // UInteger
    });

    // One slow subscription (queues) and one fast one (the witness that sees every value).
    const makeSubscription = async (s, interval) => {
        const sub = ClientSubscription.create(s, {
            requestedPublishingInterval: interval, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10,
            maxNotificationsPerPublish: 1000, publishingEnabled: true, priority: 1,
        });
        await new Promise((resolve) => sub.once("started", resolve));
        return sub;
    };
    const monitor = async (sub, nodeId, parameters) => {
        const item = ClientMonitoredItem.create(sub, { nodeId, attributeId: AttributeIds.Value },
            { samplingInterval: -1, queueSize: 1, discardOldest: true, ...parameters }, TimestampsToReturn.Neither);
        const values = [];
        item.on("changed", (dv) => values.push(dv.value.value));
        await new Promise((resolve, reject) => { item.once("initialized", resolve); item.once("err", reject); });
        return { item, values };
    };
    const deadband = (deadbandType, deadbandValue) =>
        new DataChangeFilter({ trigger: DataChangeTrigger.StatusValue, deadbandType, deadbandValue });

    await check("monitored items: sampling, queues, deadbands, standard variables", async () => {
        const slow = await makeSubscription(session, 1000);
        const fast = await makeSubscription(session, 50);
        const witness = await monitor(fast, "ns=1;s=PLC1.WR0012", { samplingInterval: 25 });
        const queued = await monitor(slow, "ns=1;s=PLC1.WR0012", { samplingInterval: 30, queueSize: 10 });
        const last = await monitor(slow, "ns=1;s=PLC1.WR0012", { samplingInterval: 0, queueSize: 1 }); // the fastest
        // Sampled by the witness's group: they see the values it sees.
        const absolute = await monitor(fast, "ns=1;s=PLC1.WR0012",
            { samplingInterval: 25, filter: deadband(DeadbandType.Absolute, 5) });
        const percent = await monitor(fast, "ns=1;s=PLC1.WR0012",
            { samplingInterval: 25, filter: deadband(DeadbandType.Percent, 0.015) });
        const time = await monitor(fast, "ns=0;i=2258", {});
        const upTime = await monitor(fast, "ns=1;s=Sys.ServerUpTime", {});
        const state = await monitor(fast, "ns=0;i=2259", {}); // reported when it changes, not each sample
        const revised = [queued, last].map(({ item }) => [item.result.revisedSamplingInterval, item.result.revisedQueueSize]);
        assert.deepStrictEqual(revised, [[50, 10], [25, 1]]); // 50: the 25 ms tick
        // Each value lives two of the slow groups' sampling intervals (50 ms), so every
        // group samples it.
        const lived = (since) => until(() => Date.now() - since >= 100, 1000, "100 ms");
        await lived(Date.now());
        for (const v of [3, 20, 25, 30, 37]) { // 25 is at the absolute deadband's distance: not beyond it
            const since = Date.now();
            server.send(`set PLC1.WR0012 ${v}`);
            await until(() => witness.values.includes(v), 5000, "witness sees " + v);
            await lived(since);
        }
        await until(() => queued.values.includes(37) && last.values.includes(37), 5000, "slow publish");
        const seen = JSON.stringify({ witness: witness.values, queued: queued.values, last: last.values, absolute: absolute.values, percent: percent.values });
        // 0.015 % of 0..65535 is 9.8.
        assert.deepStrictEqual([queued.values, last.values.slice(-1), absolute.values, percent.values],
            [[2, 3, 20, 25, 30, 37], [37], [2, 20, 30, 37], [2, 20, 30]], seen);
        assert.ok(last.values.length <= 3, "queue size 1 kept " + seen);
        await until(() => time.values.length >= 2, 5000, "CurrentTime notifications");
        assert.ok(time.values[1] > time.values[0]);
        assert.strictEqual(upTime.values[0], "0:00:05");
        assert.deepStrictEqual(state.values, [0]);
        await slow.terminate();
        await fast.terminate();
    });

    await check("SetTriggering reports a sampling item along with its trigger", async () => {
        const sub = await makeSubscription(session, 100);
        const trigger = await monitor(sub, "ns=1;s=PLC1.WR0014", {});
        const linked = await monitor(sub, "ns=1;s=PLC1.WR0015", {});
        await linked.item.setMonitoringMode(1); // sampling only
        const result = await sub.setTriggering(trigger.item, [linked.item], null);
        assert.ok(result.addResults[0].isGood(), result.addResults[0].toString());
        server.send("set PLC1.WR0015 555");
        server.send("set PLC1.WR0014 444");
        await until(() => trigger.values.includes(444) && linked.values.includes(555), 5000, "triggered report");
        const removed = await sub.setTriggering(trigger.item, null, [linked.item]);
        assert.ok(removed.removeResults[0].isGood(), removed.removeResults[0].toString());
        await sub.terminate();
    });

    await check("TransferSubscriptions moves a subscription to another session", async () => {
        const sub = await makeSubscription(session, 100);
        const notices = [];
        sub.on("status_changed", (status) => notices.push(status.value));
        const other = await client.createSession();
        const response = await other.transferSubscriptions({ subscriptionIds: [sub.subscriptionId, 999999], sendInitialValues: true });
        assert.ok(response.results[0].statusCode.isGood(), response.results[0].statusCode.toString());
        assert.strictEqual(response.results[1].statusCode.value, StatusCodes.BadSubscriptionIdInvalid.value);
        // The old session is told by its next Publish response.
        await until(() => notices.length > 0, 5000, "status change on the old session");
        assert.deepStrictEqual(notices, [StatusCodes.GoodSubscriptionTransferred.value]);
        const gone = await session.deleteSubscriptions({ subscriptionIds: [sub.subscriptionId] });
        assert.strictEqual(gone.results[0].value, StatusCodes.BadSubscriptionIdInvalid.value);
        const deleted = await other.deleteSubscriptions({ subscriptionIds: [sub.subscriptionId] });
        assert.ok(deleted.results[0].isGood());
        await other.close();
    });

    await check("a write is answered with the PLC's refusal", async () => {
        server.send("refuse PLC1.WR0016 803B0000");
        const status = await session.write({ nodeId: "ns=1;s=PLC1.WR0016", attributeId: AttributeIds.Value,
            value: { value: { dataType: DataType.UInt16, value: 9 } } });
        assert.strictEqual(status.value, StatusCodes.BadNotWritable.value);
    });

    await check("the shut-down reaches subscribers before the endpoint closes", async () => {
        const sub = await makeSubscription(session, 100);
        const state = await monitor(sub, "ns=0;i=2259", {});
        const reason = await monitor(sub, "ns=0;i=2993", {});
        server.send("quit");
        await until(() => state.values.includes(4) && reason.values.some((v) => v && v.text === "Test server quits"),
            5000, "State Shutdown with its reason");
        await client.disconnect().catch(() => {});
    });

    await new Promise((resolve) => server.child.exitCode !== null ? resolve() : server.child.on("exit", resolve));
    finish(deadline);
}

main().catch(crashed);
