"""Trading over the real bridge and a simulated front: adapters, restarts and close."""

import os

import pytest

from velkor import trading
from velkor.data import VelkorError
from velkor.ledgerlet import CtpAccount

from fakes import until

ctpsim = pytest.importorskip("ctpsim")
pytest.importorskip("velkor._kestro")


def account(front_url):
    return CtpAccount("9999", "123456", "secret", front_url, "client_app", "auth-code")


class CountingFactory:
    """The default factory, Native, with every adapter kept."""

    def __init__(self):
        self.natives = []

    def __call__(self, config, directory):
        native = trading.Native(config, directory)
        self.natives.append(native)
        return native


def test_native_over_the_bridge(tmp_path):
    with ctpsim.Front() as front:
        native = trading.Native(account(front.address), tmp_path)
        conn = front.wait_connection()
        assert conn.flow_path == os.fsencode(str(tmp_path) + os.sep)
        assert native.poll()[:1] in ([], [{"name": "FrontConnected"}])
        assert native.request("QryOrder", {"BrokerID": "9999", "InvestorID": "123456"}, 3) == 0
        assert front.requests[-1].method == "QryOrder" and front.requests[-1].request_id == 3
        native.close()
        native.close()
        assert conn.released
        with pytest.raises(RuntimeError, match="CTP 接口已关闭"):
            native.request("QryOrder", {}, 4)


async def test_front_that_never_connects_gets_a_new_adapter(fast, clock):
    with ctpsim.Front() as front:
        front.accepting = False
        factory = CountingFactory()
        s = trading.Trading(account(front.address), 5.0, {}, native_factory=factory)
        start = clock.now
        s.start()
        await until(lambda: len(factory.natives) == 2)
        assert clock.now > start + 5 + 1
        assert s.session_status == "SYNCING" and s.error is None
        first, second = factory.natives
        assert first.handle is not second.handle
        with pytest.raises(RuntimeError, match="CTP 接口已关闭"):  # the first API was released
            first.request("QryOrder", {}, 99)
        await s.close()
        assert s.native is None
        with pytest.raises(RuntimeError, match="CTP 接口已关闭"):
            second.request("QryOrder", {}, 100)


@pytest.mark.parametrize("when", ["connected", "fatal"])
async def test_close_leaves_no_api_attached_to_the_front(tmp_path, when):
    with ctpsim.Front() as front:
        s = trading.Trading(account(front.address), 30.0, {})
        if when == "fatal":
            s.recovery = type("Giving", (), {"begin": lambda self: None, "fail": lambda self: None,
                                             "check": lambda self: None})()
        s.start()
        await until(lambda: front.connections, passes=500, pause=0.01)
        conn = front.connections[0]
        if when == "fatal":
            def fatal():
                raise VelkorError("stop")
            s.recovery.check = fatal
            await until(lambda: s.task.done(), passes=500, pause=0.01)
            assert s.session_status == "ERROR" and not conn.released  # still open until close()
        await s.close()
        assert conn.released and front.connections == []
        assert s.native is None
        assert os.path.isdir(s.directory)  # the flow directory stays


async def test_restart_reuses_the_flow_directory(tmp_path):
    # The front never answers the authentication: every login times out after 1.5 s and restarts.
    with ctpsim.Front() as front:
        front.retry_interval = 0.05
        factory = CountingFactory()
        s = trading.Trading(account(front.address), 1.5, {}, native_factory=factory)
        s.start()
        seen = []

        def connected_twice():
            for conn in front.connections:
                if conn not in seen:
                    seen.append(conn)
            return len(seen) == 2

        await until(connected_twice, passes=500, pause=0.01)
        first, second = seen
        assert first.released and not second.released and len(factory.natives) == 2
        assert second.flow_path == first.flow_path == os.fsencode(s.directory + os.sep)
        await s.close()
        assert second.released and front.connections == []
